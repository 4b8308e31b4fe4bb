# Cross-building for 64-bit Windows with Debian's MinGW-w64 toolchain
# (packages g++-mingw-w64-x86-64-posix and its C compiler):
#
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
#
# The posix flavour of the compilers is chosen: its C++ library has
# std::thread and std::mutex (through winpthreads, which the build links
# statically). Test programs run under Wine when it is installed.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TB1S_MINGW x86_64-w64-mingw32)

find_program(CMAKE_C_COMPILER NAMES ${TB1S_MINGW}-gcc-posix ${TB1S_MINGW}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${TB1S_MINGW}-g++-posix ${TB1S_MINGW}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${TB1S_MINGW}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TB1S_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ctest runs the Windows programs through Wine.
find_program(TB1S_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(TB1S_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TB1S_WINE})
endif()
