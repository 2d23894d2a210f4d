# SPDX-License-Identifier: MIT
# Cross build for arm64 Linux with Debian's cross compiler and the :arm64
# multiarch packages; CTest runs the programs under qemu-aarch64.
#
#   cmake -S . -B build-arm64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(KIV_CROSS_TRIPLET aarch64-linux-gnu)
set(KIV_CROSS_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
