#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the packages, then builds and runs every test twice, in a normal
# build and under AddressSanitizer and UndefinedBehaviorSanitizer, and the
# capture and recorder tests a third time under ThreadSanitizer. The Windows
# builds (kivgsm.dll, kivgsm.exe; x86-64 and x86) are cross-compiled, packed
# into the Windows zips and tested under Wine against the normal build's
# outputs, and the
# arm64 and armhf Linux builds under qemu-user. The Debian packages are
# built, installed, used and purged. Last, each fuzz target runs for a
# minute under libFuzzer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-packages.sh --all
jobs=$(nproc)

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$jobs"
ctest --test-dir build -j "$jobs" --output-on-failure

# The Debian packages: build, install, use, purge.
bash scripts/package-test.sh build-pkg

# Windows x86-64 and x86 (the 32-bit DLL's functions are __stdcall), under
# 64-bit and 32-bit Wine.
for target in x86_64:build-win i686:build-win32; do
  build_dir=${target#*:}
  cmake -S . -B "$build_dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="cmake/mingw-w64-${target%%:*}.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DKIV_BUILD_BENCHMARKS=OFF -DKIV_NATIVE_BUILD="$PWD/build"
  cmake --build "$build_dir" -j "$jobs"
  # The Windows zip from that build; its tests (Windows.Zip.*, unpacked and
  # used under Wine) run with the others.
  bash scripts/windows-zip.sh "$build_dir"
  if [ "${target%%:*}" = i686 ] && ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    # 32-bit Wine is an x86 Linux program: a kernel built without IA32
    # emulation cannot start it.
    echo "test-all.sh: this kernel cannot run 32-bit x86 programs, so 32-bit Wine cannot start;" \
         "the x86 DLL and zip are checked without Wine only (ctest -L static)" >&2
    ctest --test-dir "$build_dir" --output-on-failure -L static
  else
    ctest --test-dir "$build_dir" --output-on-failure
  fi
done

# Linux on ARM, 64-bit and 32-bit, cross-compiled and tested under qemu-user.
for target in aarch64-linux-gnu:arm64 arm-linux-gnueabihf:armhf; do
  cmake -S . -B "build-${target#*:}" -G Ninja -DCMAKE_TOOLCHAIN_FILE="cmake/${target%%:*}.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DKIV_BUILD_BENCHMARKS=OFF
  cmake --build "build-${target#*:}" -j "$jobs"
  ctest --test-dir "build-${target#*:}" -j "$jobs" --output-on-failure
done

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKIV_SANITIZE=address,undefined -DKIV_BUILD_BENCHMARKS=OFF
cmake --build build-asan -j "$jobs"
ctest --test-dir build-asan -j "$jobs" --output-on-failure

# The threaded parts (capture channel, recorders, the tool's parallel conversions)
# once more under ThreadSanitizer.
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKIV_SANITIZE=thread -DKIV_BUILD_BENCHMARKS=OFF
cmake --build build-tsan -j "$jobs"
TSAN_OPTIONS="suppressions=$PWD/tests/support/tsan.supp" \
  ctest --test-dir build-tsan -j "$jobs" --output-on-failure -R '[Cc]apture|[Rr]ecord|ToolConvert'

bash scripts/fuzz.sh "${KIV_FUZZ_SECONDS:-60}"
