# Cross build for arm-linux-gnueabihf Linux with Debian's cross compiler and the
# :armhf multiarch packages; CTest runs the programs under qemu-arm.
#
#   cmake -S . -B build-armhf -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
# Libraries, CMake packages and pkg-config files of the target's multiarch
# folder only, never the build machine's.
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig)
# qemu-user loads the cross toolchain's ld.so from its sysroot; its libc
# (the same glibc build) must then come first too, before the multiarch
# libc6 that the :armhf libraries pull in: a loader and a libc of two
# different builds crash in pthread_create.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /usr/arm-linux-gnueabihf -E LD_LIBRARY_PATH=/lib)
