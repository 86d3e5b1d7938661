# The kxenv tool's header-only libraries (CLI11, nlohmann/json) for a
# cross-build. Debian installs them under /usr/include, which a MinGW
# compile must not search as a whole (the host's C library is there too),
# so their own directories are linked into the build tree and given as the
# imported targets their packages would define.
set(kx_host_headers ${CMAKE_BINARY_DIR}/host-headers)
foreach(header CLI/CLI.hpp nlohmann/json.hpp)
  string(REGEX REPLACE "/.*" "" dir ${header})
  find_path(KX_HOST_${dir} ${header} PATHS /usr/include
            NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
  file(MAKE_DIRECTORY ${kx_host_headers})
  file(CREATE_LINK ${KX_HOST_${dir}}/${dir} ${kx_host_headers}/${dir} SYMBOLIC)
endforeach()
foreach(target CLI11::CLI11 nlohmann_json::nlohmann_json)
  add_library(${target} INTERFACE IMPORTED)
  set_target_properties(${target} PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES ${kx_host_headers})
endforeach()
