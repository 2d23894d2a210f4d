#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs everything needed to build, test and benchmark kivgsm on Debian 12.
set -euo pipefail
run() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
export DEBIAN_FRONTEND=noninteractive
# Foreign architectures for the ARM cross builds, before the one update.
for arch in arm64 armhf; do
  dpkg --print-foreign-architectures | grep -qx "$arch" || run dpkg --add-architecture "$arch"
done
run apt-get update
run apt-get install -y --no-install-recommends \
  cmake ninja-build g++ pkg-config libgsm1-dev \
  libgtest-dev libgmock-dev libbenchmark-dev \
  libasound2-dev libasound2-plugins alsa-utils \
  pulseaudio pulseaudio-utils clang libclang-rt-14-dev \
  g++-mingw-w64-x86-64-posix wine wine64 dpkg-dev llvm lld unzip \
  ffmpeg sox libsox-fmt-all sndfile-programs \
  bc time ca-certificates python3 parallel \
  libcli11-dev libsndfile1-dev libsoxr-dev \
  debhelper lintian bash-completion man-db \
  python3-pytest python3-build python3-setuptools python3-wheel mono-mcs mono-runtime \
  dh-python pybuild-plugin-pyproject python3-all \
  qemu-user g++-aarch64-linux-gnu g++-arm-linux-gnueabihf \
  libgsm1-dev:arm64 libasound2-dev:arm64 libgtest-dev:arm64 libgmock-dev:arm64 \
  libsndfile1-dev:arm64 libsoxr-dev:arm64 \
  libgsm1-dev:armhf libasound2-dev:armhf libgtest-dev:armhf libgmock-dev:armhf \
  libsndfile1-dev:armhf libsoxr-dev:armhf
