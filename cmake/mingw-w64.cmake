# SPDX-License-Identifier: MIT
# Shared by the Windows cross toolchain files: Debian's mingw-w64 compilers
# of the posix thread model (std::thread, std::mutex and std::atomic::wait
# need it) for KIV_MINGW_HOST, named explicitly, and programs run under
# Debian's Wine launcher KIV_WINE_LAUNCHER (outside PATH) in a prefix of
# KIV_WINE_ARCH, so that CTest can run the cross-built tests.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${KIV_MINGW_HOST}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KIV_MINGW_HOST}-g++-posix)
set(CMAKE_RC_COMPILER ${KIV_MINGW_HOST}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KIV_MINGW_HOST})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
find_program(KIV_WINE NAMES ${KIV_WINE_LAUNCHER} PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(KIV_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KIV_WINE})
endif()
