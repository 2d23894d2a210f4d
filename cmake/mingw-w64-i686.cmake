# SPDX-License-Identifier: MIT
# Cross build of the 32-bit kivgsm.dll and kivgsm.exe for Windows x86;
# CTest runs the programs under 32-bit Wine (wine32:i386).
#
#   cmake -S . -B build-win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KIV_MINGW_HOST i686-w64-mingw32)
set(KIV_WINE_LAUNCHER wine)
set(KIV_WINE_ARCH win32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
