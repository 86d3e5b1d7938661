# One Debian package, kxenv, made by `cpack -G DEB` in a build configured
# with CMAKE_INSTALL_PREFIX=/usr (scripts/package): the libraries, headers,
# pkg-config file, CMake package, tool, fleet agent, Python package,
# catalogs, manual pages and bash completion, with the copyright file and
# changelog that Debian asks of every package; scripts/test runs lintian on
# it, and cmake/debian/lintian-overrides gives the reason for each tag it
# leaves. The store directory is no file of the package: its postinst
# makes it when missing, so that removing or purging the package never
# takes the store with it. The ldconfig trigger refreshes the linker
# cache.
if(WIN32)
  return()
endif()
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kxenv)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "configuration variables of the KX-Orrery programs: library and tool")
set(CPACK_PACKAGE_DESCRIPTION
    "One machine-wide store of named variables, read, set, deleted,
enumerated and watched through a C interface (libkxenv), the kxenv tool
and the Python package kxenv, cached in each process and kept honest by
change notification.")
set(CPACK_PACKAGE_CONTACT "kxenv maintainers <kxenv@example.org>")
# The compiled-in data directory must be where the package puts the data.
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pkg-config, bash-completion")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "python3")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_LIST_DIR}/debian/postinst
    ${CMAKE_CURRENT_LIST_DIR}/debian/postrm
    ${CMAKE_CURRENT_LIST_DIR}/debian/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)

# The changelog of a native package, dated by SOURCE_DATE_EPOCH when set,
# compressed as Debian wants it (-n: no name or time in it, so that the
# same tree gives the same file).
string(TIMESTAMP KXENV_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/changelog.in
               ${CMAKE_BINARY_DIR}/debian/changelog @ONLY)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/debian/changelog.gz
  COMMAND gzip -9nkf changelog
  DEPENDS ${CMAKE_BINARY_DIR}/debian/changelog
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/debian)
add_custom_target(kxenv_changelog ALL
  DEPENDS ${CMAKE_BINARY_DIR}/debian/changelog.gz)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/copyright
              ${CMAKE_BINARY_DIR}/debian/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME kxenv)
