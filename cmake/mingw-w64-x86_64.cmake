# SPDX-License-Identifier: MIT
# Cross build of kivgsm.dll and kivgsm.exe for Windows x86-64; CTest runs
# the programs under 64-bit Wine.
#
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KIV_MINGW_HOST x86_64-w64-mingw32)
set(KIV_WINE_LAUNCHER wine64)
set(KIV_WINE_ARCH win64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
