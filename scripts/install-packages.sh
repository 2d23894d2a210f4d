#!/usr/bin/env bash
# Installs everything needed to build, test and benchmark kivgsm on Debian 12.
set -euo pipefail
run() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
export DEBIAN_FRONTEND=noninteractive
run apt-get update
run apt-get install -y --no-install-recommends \
  cmake ninja-build g++ pkg-config libgsm1-dev \
  libgtest-dev libgmock-dev libbenchmark-dev \
  libasound2-dev libasound2-plugins alsa-utils \
  pulseaudio pulseaudio-utils clang libclang-rt-14-dev \
  g++-mingw-w64-x86-64-posix wine wine64 dpkg-dev \
  ffmpeg sox libsox-fmt-all sndfile-programs \
  bc time ca-certificates
