# One Debian package, kxenv, made by `cpack -G DEB` in a build configured
# with CMAKE_INSTALL_PREFIX=/usr (scripts/package): the libraries, headers,
# pkg-config file, CMake package, tool, catalogs, manual pages and bash
# completion. The store directory is no file of the package: its postinst
# makes it when missing, so that removing or purging the package never
# takes the store with it.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kxenv)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "configuration variables of the KX-Orrery programs: library and tool")
set(CPACK_PACKAGE_DESCRIPTION
    "One machine-wide store of named variables, read, set, deleted, \
enumerated and watched through a C interface (libkxenv) and the kxenv tool, \
cached in each process and kept honest by change notification.")
set(CPACK_PACKAGE_CONTACT "kxenv maintainers <root@localhost>")
# The compiled-in data directory must be where the package puts the data.
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pkg-config, bash-completion")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_LIST_DIR}/debian/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)
