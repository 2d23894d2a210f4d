#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Makes the Windows zip, BUILD_DIR/kivgsm-<version>-win64.zip: configures
# the mingw-w64 cross build (Release) in BUILD_DIR, builds the DLL and the
# tool, and packs them with the header, both import libraries, the DLLs the
# tool imports, the README, LICENSE, THIRD-PARTY-NOTICES and the licence
# texts of libsndfile and libsoxr (cmake/windows-zip.cmake says where each
# goes).
#
#   bash scripts/windows-zip.sh [BUILD_DIR]   (default: build-win in the source tree)
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
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release \
  -DKIV_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build" --target windows_zip
version=$(sed -n 's/^project(kivgsm VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
zip="$build/kivgsm-$version-win64.zip"
unzip -l "$zip"
echo "$zip"
