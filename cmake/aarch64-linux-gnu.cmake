# Cross build for aarch64-linux-gnu Linux with Debian's cross compiler and the
# :arm64 multiarch packages; CTest runs the programs under qemu-aarch64.
#
#   cmake -S . -B build-arm64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# Libraries, CMake packages and pkg-config files of the target's multiarch
# folder only, never the build machine's.
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
# qemu-user loads the cross toolchain's ld.so from its sysroot; its libc
# (the same glibc build) must then come first too, before the multiarch
# libc6 that the :arm64 libraries pull in: a loader and a libc of two
# different builds crash in pthread_create.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu -E LD_LIBRARY_PATH=/lib)
