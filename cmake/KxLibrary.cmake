# kx_shared_library(<target> <build define>): what every library of the
# project shares: the public headers, the define that exports its C
# interface, the version script that hides everything else, the version,
# and its install rule.
function(kx_shared_library target build_define)
  target_include_directories(${target}
    PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
           $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>
    PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}
            ${PROJECT_SOURCE_DIR}/src/platform
            ${PROJECT_SOURCE_DIR}/src/platform/${KXENV_PLATFORM})
  if(WIN32)  # Windows names DLLs without "lib" (zrnapi01.dll, kxenv.dll)
    set_target_properties(${target} PROPERTIES PREFIX "" IMPORT_PREFIX "")
    # Each link checks the DLL's exports against the Linux build's list,
    # and their calling convention.
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${CMAKE_OBJDUMP} -DNM=${CMAKE_NM}
              -DLIBRARY=$<TARGET_FILE:${target}>
              -DARCH=${CMAKE_SYSTEM_PROCESSOR}
              -DEXPECTED=${PROJECT_SOURCE_DIR}/tests/abi/$<TARGET_FILE_BASE_NAME:${target}>.symbols
              -P ${PROJECT_SOURCE_DIR}/cmake/check_exports.cmake
      VERBATIM)
  endif()
  target_compile_definitions(${target} PRIVATE ${build_define})
  if(NOT WIN32)  # a DLL exports only what is marked dllexport
    target_link_options(${target} PRIVATE
      -Wl,--version-script=${PROJECT_SOURCE_DIR}/cmake/c_only.map)
  endif()
  set_target_properties(${target} PROPERTIES
    VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR}
    LINK_DEPENDS ${PROJECT_SOURCE_DIR}/cmake/c_only.map)
  install(TARGETS ${target} EXPORT kxenvTargets
          LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
          RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
          ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
endfunction()
