#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Cross-compiles libsndfile and libsoxr for Windows from Debian's own
# source packages, as DLLs (both are LGPL: kivgsm.exe loads them, never
# links them in), into PREFIX:
#
#   bin/libsndfile-1.dll bin/libsoxr.dll        the DLLs
#   lib/libsndfile.dll.a lib/libsoxr.dll.a      their MinGW import libraries
#   include/sndfile.h include/soxr.h
#   licenses/libsndfile/COPYING                 their licence texts, and
#   licenses/libsoxr/COPYING.LGPL               SOURCE: which Debian source
#   licenses/libsoxr/LICENCE                    package each DLL was built
#   licenses/*/SOURCE                           from, and how
#
#   [KIV_MINGW_TOOLCHAIN=cmake/mingw-w64-i686.cmake] scripts/build-mingw-deps.sh PREFIX
#
# KIV_MINGW_TOOLCHAIN is the CMake toolchain file of the target (default:
# cmake/mingw-w64-x86_64.cmake, Windows x86-64).
# libsndfile is built without its external codecs (FLAC, Ogg, Opus, MPEG):
# it reads WAVE (PCM of any width, float, WAVE_FORMAT_EXTENSIBLE), RF64,
# W64, AIFF, CAF, AU and its other built-in formats. libsoxr is built
# without OpenMP. libgcc is linked into each DLL, so that they import
# system DLLs only. A PREFIX that already holds everything is left as it
# is. The build honours CMAKE_BUILD_PARALLEL_LEVEL.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
prefix=$(mkdir -p "$1" && cd "$1" && pwd)
products=(bin/libsndfile-1.dll bin/libsoxr.dll lib/libsndfile.dll.a lib/libsoxr.dll.a include/sndfile.h
          include/soxr.h licenses/libsndfile/COPYING licenses/libsoxr/COPYING.LGPL licenses/libsoxr/LICENCE
          licenses/libsndfile/SOURCE licenses/libsoxr/SOURCE)
complete=1
for p in "${products[@]}"; do [ -f "$prefix/$p" ] || complete=0; done
[ "$complete" = 1 ] && exit 0

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
bash "$here/fetch-debian-source.sh" "$work" libsndfile libsoxr

# Debian's optimisation, without the hardening flags that would pull in
# libssp; no build type, so that nothing else is added.
options=(-DCMAKE_BUILD_TYPE=None -DCMAKE_C_FLAGS=-O2 -DCMAKE_SHARED_LINKER_FLAGS=-static-libgcc
         -DBUILD_SHARED_LIBS=ON -DBUILD_TESTING=OFF)
toolchain=$(realpath "${KIV_MINGW_TOOLCHAIN:-$here/../cmake/mingw-w64-x86_64.cmake}")
common=(-G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_INSTALL_PREFIX="$prefix"
        "${options[@]}")

soxr_options=(-DWITH_OPENMP=OFF -DWITH_LSR_BINDINGS=OFF -DBUILD_TESTS=OFF -DBUILD_EXAMPLES=OFF)
sndfile_options=(-DENABLE_EXTERNAL_LIBS=OFF -DENABLE_MPEG=OFF -DBUILD_PROGRAMS=OFF -DBUILD_EXAMPLES=OFF -DENABLE_CPACK=OFF
                 -DINSTALL_MANPAGES=OFF -DENABLE_COMPATIBLE_LIBSNDFILE_NAME=ON)

cmake -S "$work/libsoxr" -B "$work/build-soxr" "${common[@]}" "${soxr_options[@]}" >"$work/soxr.log" 2>&1 ||
  { cat "$work/soxr.log" >&2; exit 1; }
cmake --build "$work/build-soxr" >>"$work/soxr.log" 2>&1 || { cat "$work/soxr.log" >&2; exit 1; }
cmake --install "$work/build-soxr" >>"$work/soxr.log" 2>&1 || { cat "$work/soxr.log" >&2; exit 1; }

cmake -S "$work/libsndfile" -B "$work/build-sndfile" "${common[@]}" "${sndfile_options[@]}" >"$work/sndfile.log" 2>&1 ||
  { cat "$work/sndfile.log" >&2; exit 1; }
cmake --build "$work/build-sndfile" >>"$work/sndfile.log" 2>&1 || { cat "$work/sndfile.log" >&2; exit 1; }
cmake --install "$work/build-sndfile" >>"$work/sndfile.log" 2>&1 || { cat "$work/sndfile.log" >&2; exit 1; }

mkdir -p "$prefix/licenses/libsndfile" "$prefix/licenses/libsoxr"
cp "$work/libsndfile/COPYING" "$prefix/licenses/libsndfile/"
cp "$work/libsoxr/COPYING.LGPL" "$work/libsoxr/LICENCE" "$prefix/licenses/libsoxr/"
# Where each DLL's source is, for anyone who wants to rebuild or change it.
source_note() {  # PACKAGE DLL OPTIONS...
  local package=$1 dll=$2 version
  shift 2
  version=$(dpkg-parsechangelog -l "$work/$package/debian/changelog" -S Version)
  cat <<NOTE
$dll is $package built unmodified from Debian's source package
$package $version (its Debian patches applied), which Debian's archive
keeps: apt-get source $package=$version

Built with Debian's mingw-w64 (its posix thread model) and CMake, with
kivgsm's cmake/$(basename "$toolchain") as the toolchain file and the
options ${options[*]} $*
(scripts/build-mingw-deps.sh in kivgsm's source).
NOTE
}
source_note libsndfile libsndfile-1.dll "${sndfile_options[@]}" > "$prefix/licenses/libsndfile/SOURCE"
source_note libsoxr libsoxr.dll "${soxr_options[@]}" > "$prefix/licenses/libsoxr/SOURCE"
for p in "${products[@]}"; do
  [ -f "$prefix/$p" ] || { echo "$prefix/$p was not made" >&2; exit 1; }
done
echo "libsndfile and libsoxr for Windows in $prefix"
