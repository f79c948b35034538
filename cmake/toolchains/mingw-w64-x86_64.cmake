# Cross-compiles for 64-bit Windows with Debian's mingw-w64 toolchain. The posix
# flavour of the compiler is the one whose runtime has std::thread and
# std::timed_mutex.
#
#   cmake -S . -B build-win --toolchain cmake/toolchains/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_kestrune_mingw x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_kestrune_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_kestrune_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${_kestrune_mingw}-windres)
set(CMAKE_DLLTOOL ${_kestrune_mingw}-dlltool)

set(CMAKE_FIND_ROOT_PATH /usr/${_kestrune_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
