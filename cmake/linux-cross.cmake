# SPDX-License-Identifier: MIT
# Shared by the Linux cross toolchain files: Debian's cross compiler for
# KIV_CROSS_TRIPLET, the target's multiarch libraries, and programs run
# under KIV_CROSS_QEMU.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${KIV_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${KIV_CROSS_TRIPLET}-g++)
# Libraries, CMake packages and pkg-config files of the target's multiarch
# folder only, never the build machine's.
set(CMAKE_LIBRARY_ARCHITECTURE ${KIV_CROSS_TRIPLET})
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${KIV_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
# qemu-user loads the cross toolchain's ld.so from its sysroot; its libc
# (the same glibc build) must then come first too, before the multiarch
# libc6 that the target's libraries pull in: a loader and a libc of two
# different builds crash in pthread_create.
set(CMAKE_CROSSCOMPILING_EMULATOR ${KIV_CROSS_QEMU} -L /usr/${KIV_CROSS_TRIPLET} -E LD_LIBRARY_PATH=/lib)
