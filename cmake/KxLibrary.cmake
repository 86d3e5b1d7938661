# kx_shared_library(<target> <build define>): what every library of the
# project shares: the public headers, the define that exports its C
# interface, the version script that hides everything else, the version,
# and its install rule.
function(kx_shared_library target build_define)
  target_include_directories(${target}
    PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
           $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>
    PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  target_compile_definitions(${target} PRIVATE ${build_define})
  target_link_options(${target} PRIVATE
    -Wl,--version-script=${PROJECT_SOURCE_DIR}/cmake/c_only.map)
  set_target_properties(${target} PROPERTIES
    VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR}
    LINK_DEPENDS ${PROJECT_SOURCE_DIR}/cmake/c_only.map)
  install(TARGETS ${target} EXPORT kxenvTargets
          LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
endfunction()
