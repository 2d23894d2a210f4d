# SPDX-License-Identifier: MIT
# Cross build for 32-bit armhf Linux with Debian's cross compiler and the
# :armhf multiarch packages; CTest runs the programs under qemu-arm.
#
#   cmake -S . -B build-armhf -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
set(CMAKE_SYSTEM_PROCESSOR arm)
set(KIV_CROSS_TRIPLET arm-linux-gnueabihf)
set(KIV_CROSS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
