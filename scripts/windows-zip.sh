#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Makes a Windows zip, BUILD_DIR/kivgsm-<version>-win64.zip (or -win32.zip):
# configures the mingw-w64 cross build (Release) in BUILD_DIR, builds the DLL and the
# tool, and packs them with the header, both import libraries, the DLLs the
# tool imports, the README, LICENSE, THIRD-PARTY-NOTICES and the licence
# texts of libsndfile and libsoxr (cmake/windows-zip.cmake says where each
# goes).
#
#   bash scripts/windows-zip.sh [BUILD_DIR [x86_64|i686]]
#
# BUILD_DIR defaults to build-win in the source tree. The machine defaults
# to the one BUILD_DIR was configured for, else x86-64; i686 makes the
# 32-bit zip, whose DLL's functions are __stdcall (KIV_CALL in kivgsm.h).
#
# The first configure cross-compiles libgsm, libsndfile and libsoxr from
# Debian's source packages (a few minutes); they are kept in BUILD_DIR.
set -euo pipefail
build=$(realpath -m "${1:-$(dirname "$0")/../build-win}")
cd "$(dirname "$0")/.."
for doc in LICENSE THIRD-PARTY-NOTICES; do
  if [ ! -f "$doc" ]; then
    echo "windows-zip.sh: $PWD/$doc is missing; the zip is not made without it" >&2
    exit 1
  fi
done
machine=${2:-}
configured=$(sed -n 's|^CMAKE_TOOLCHAIN_FILE:[A-Z]*=.*/mingw-w64-\(.*\)\.cmake$|\1|p' "$build/CMakeCache.txt" 2>/dev/null || true)
if [ -n "$machine" ] && [ -n "$configured" ] && [ "$machine" != "$configured" ]; then
  echo "windows-zip.sh: $build is configured for $configured, not $machine; use another BUILD_DIR" >&2
  exit 64
fi
machine=${machine:-$configured}
case "${machine:=x86_64}" in
  x86_64) name=win64 ;;
  i686) name=win32 ;;
  *) echo "windows-zip.sh: unknown machine '$machine' (use x86_64 or i686)" >&2; exit 64 ;;
esac
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="cmake/mingw-w64-$machine.cmake" -DCMAKE_BUILD_TYPE=Release \
  -DKIV_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build" --target windows_zip
version=$(sed -n 's/^project(kivgsm VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
zip="$build/kivgsm-$version-$name.zip"
unzip -l "$zip"
echo "$zip"
