# SPDX-License-Identifier: MIT
# Cross-compiling kivgsm.dll and kivgsm.exe for Windows x86-64 with
# Debian's mingw-w64 compilers of the posix thread model (std::thread,
# std::mutex and std::atomic::wait need it), named explicitly. Programs run
# under Wine, so CTest can run the cross-built tests.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KIV_MINGW_HOST x86_64-w64-mingw32)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Debian's wine64 package puts its launcher outside PATH.
find_program(KIV_WINE NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
set(KIV_WINE_ARCH win64)
if(KIV_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KIV_WINE})
endif()
