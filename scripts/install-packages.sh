#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian 12 packages that a job needs, and nothing more:
#
#   bash scripts/install-packages.sh          build and run the library and the tool
#   bash scripts/install-packages.sh --test   also the native test suite and benchmarks
#   bash scripts/install-packages.sh --all    also all that test-all.sh uses: Windows
#                                             (mingw-w64 for x86-64 and x86, 64- and
#                                             32-bit Wine), ARM (cross compilers, qemu,
#                                             arm64 and armhf libraries), fuzzing, the
#                                             Debian packages and lintian
#
# Only --all adds foreign architectures (arm64, armhf, i386) to dpkg. It
# takes every package from the release itself (`-t bookworm`), not from
# its security or updates suites: a package installed for two
# architectures must have one version in both, and those suites' indexes
# are not always there for every architecture (i386's and armhf's security
# indexes were missing on 2026-12-09). Nothing installed is ever removed to
# make room (`--no-remove`): a conflict ends the script instead.
#
# An index that `apt-get update` cannot fetch (a mirror caught mid-sync, an
# architecture's security index) is retried, then named in a warning: the
# lists apt already has may still hold every package the job needs, and the
# install below is what decides. A package that cannot be installed ends the
# script, named.
set -euo pipefail

# What building and running the library and the tool needs.
build_packages=(
  cmake ninja-build g++ pkg-config
  libgsm1-dev libasound2-dev libcli11-dev libsndfile1-dev libsoxr-dev
  libmpg123-dev libvorbis-dev libopusfile-dev libflac-dev
)
# What the native test suite and the benchmarks add: GoogleTest and Google
# Benchmark, a private PulseAudio and a private PipeWire (with its pulse
# layer and session manager) behind ALSA's pulse and file plugins, the
# peer tools the tests judge by, and the bindings' runtimes.
test_packages=(
  libgtest-dev libgmock-dev libbenchmark-dev
  libasound2-plugins alsa-utils pulseaudio pulseaudio-utils
  pipewire pipewire-bin wireplumber pipewire-pulse dbus-daemon procps
  ffmpeg sox libsox-fmt-all sndfile-programs parallel bc time dosfstools
  python3 python3-pytest python3-build python3-setuptools python3-wheel python3-venv
  mono-mcs mono-runtime
)
# What test-all.sh adds: fuzzing (clang), the Windows cross build and Wine,
# the Debian packages, and the ARM cross builds with their target libraries.
all_packages=(
  clang libclang-rt-14-dev llvm lld
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64 unzip ca-certificates
  dpkg-dev debhelper lintian bash-completion man-db
  dh-python pybuild-plugin-pyproject python3-all
  qemu-user g++-aarch64-linux-gnu g++-arm-linux-gnueabihf
)
foreign_architectures=(arm64 armhf i386)
# 32-bit Wine, for the 32-bit DLL. Its GStreamer library is named for both
# architectures, so that apt picks one version for the two.
i386_packages=(wine32:i386 libwine:i386 libgstreamer-plugins-base1.0-0:i386 libgstreamer-plugins-base1.0-0:amd64)
# (libopusfile-dev is left out: its libssl3 must match the build machine's
# version exactly, which the archive's arm64 and armhf indexes do not
# always carry; those builds read Ogg Vorbis only.)
foreign_packages=(libgsm1-dev libasound2-dev libgtest-dev libgmock-dev libsndfile1-dev libsoxr-dev
  libmpg123-dev libvorbis-dev libflac-dev)

me=install-packages.sh
set_name=default
case "${1:-}" in
  "") ;;
  --test) set_name=test ;;
  --all) set_name=all ;;
  -h|--help) sed -n '3,26s/^# \{0,1\}//p' "$0"; exit 0 ;;
  *) echo "$me: unknown option '$1' (use --test, --all or nothing)" >&2; exit 64 ;;
esac

packages=("${build_packages[@]}")
archs=()
install_options=(-y --no-install-recommends)
if [ "$set_name" != default ]; then packages+=("${test_packages[@]}"); fi
if [ "$set_name" = all ]; then
  packages+=("${all_packages[@]}")
  archs=("${foreign_architectures[@]}")
  for arch in arm64 armhf; do
    for p in "${foreign_packages[@]}"; do packages+=("$p:$arch"); done
  done
  packages+=("${i386_packages[@]}")
  install_options+=(-t bookworm --no-remove)
fi

run() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
export DEBIAN_FRONTEND=noninteractive

for arch in "${archs[@]}"; do
  dpkg --print-foreign-architectures | grep -qx "$arch" || run dpkg --add-architecture "$arch"
done

log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! run apt-get -o Acquire::Retries=3 update 2>&1 | tee "$log"; then
  failed=$(sed -n 's/^[EW]: Failed to fetch \([^ ]*\).*/\1/p' "$log" | sort -u)
  echo "$me: warning: apt-get update failed${failed:+ for:}" >&2
  [ -z "$failed" ] || printf '  %s\n' $failed >&2
  echo "$me: warning: going on with the package lists apt has; the install decides" >&2
fi

echo "$me: installing the $set_name set, ${#packages[@]} packages: ${packages[*]}"
if ! run apt-get install "${install_options[@]}" "${packages[@]}"; then
  # Name what cannot be installed: each package is tried alone, as a dry run.
  missing=()
  for p in "${packages[@]}"; do
    run apt-get install -s "${install_options[@]}" "$p" >/dev/null 2>&1 || missing+=("$p")
  done
  if [ "${#missing[@]}" -gt 0 ]; then
    echo "$me: cannot install: ${missing[*]}" >&2
  else
    echo "$me: apt-get install failed, though each package installs alone (see above)" >&2
  fi
  exit 1
fi
