# SPDX-License-Identifier: GPL-3.0-or-later
# Cross-builds tavrick.exe for 64-bit Windows with Debian's mingw-w64, posix thread model:
#   cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(tavrick_mingw_prefix x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${tavrick_mingw_prefix}-gcc-posix)
set(CMAKE_CXX_COMPILER ${tavrick_mingw_prefix}-g++-posix)
set(CMAKE_RC_COMPILER ${tavrick_mingw_prefix}-windres)
set(CMAKE_OBJDUMP ${tavrick_mingw_prefix}-objdump)
set(CMAKE_STRIP ${tavrick_mingw_prefix}-strip)
set(CMAKE_FIND_ROOT_PATH /usr/${tavrick_mingw_prefix})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Tests run the cross-built programs through Wine.
find_program(CMAKE_CROSSCOMPILING_EMULATOR NAMES wine64 wine PATHS /usr/lib/wine)
