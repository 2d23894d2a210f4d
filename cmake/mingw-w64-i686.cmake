# SPDX-License-Identifier: MIT
# Cross-compiling the 32-bit kivgsm.dll and kivgsm.exe for Windows x86 with
# Debian's mingw-w64 compilers of the posix thread model. Programs run under
# 32-bit Wine (wine32:i386), in a 32-bit prefix of their own.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KIV_MINGW_HOST i686-w64-mingw32)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Debian's wine32 package puts its 32-bit launcher outside PATH.
find_program(KIV_WINE NAMES wine PATHS /usr/lib/wine NO_DEFAULT_PATH)
set(KIV_WINE_ARCH win32)
if(KIV_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KIV_WINE})
endif()
