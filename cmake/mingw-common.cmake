# What both MinGW-w64 toolchain files share, for the architecture that
# KX_MINGW_ARCH names (i686 or x86_64): Debian's compilers with posix
# threads, their sysroot, and MinGW's runtime linked in.
set(kx_mingw_triplet ${KX_MINGW_ARCH}-w64-mingw32)
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${KX_MINGW_ARCH})
set(CMAKE_C_COMPILER ${kx_mingw_triplet}-gcc-posix)
set(CMAKE_CXX_COMPILER ${kx_mingw_triplet}-g++-posix)
set(CMAKE_RC_COMPILER ${kx_mingw_triplet}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${kx_mingw_triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# MinGW's own runtime (libstdc++, libgcc, winpthread) is linked into each
# module, so that bin/ runs on a machine without MinGW's DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -static)
