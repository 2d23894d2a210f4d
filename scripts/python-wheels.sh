#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Makes the Python package's platform wheels, which carry the library, so
# that `pip install` needs nothing else:
#
#   bash scripts/python-wheels.sh OUTDIR [WINDOWS_BUILD_DIR]
#
#   kivgsm-<version>-py3-none-manylinux_2_<N>_<arch>.whl
#       libkivgsm.so.1 and libgsm.so.1 beside the package; N is the newest
#       glibc symbol version the two use, so the tag says what they need
#   kivgsm-<version>-py3-none-win_amd64.whl   (given the Windows build; win32
#                                             for the 32-bit one)
#       kivgsm.dll beside the package (libgsm is inside it)
#
# The library comes from a Release build made here, or from KIV_BUILD_DIR
# when that names a built tree. The package loads the library beside it
# first, then KIVGSM_LIBRARY, then the system's; the pure py3-none-any wheel
# and Debian's python3-kivgsm stay for the system library.
set -euo pipefail
out=${1:?usage: python-wheels.sh OUTDIR [WINDOWS_BUILD_DIR]}
windows=${2:-}
cd "$(dirname "$0")/.."
mkdir -p "$out"
out=$(cd "$out" && pwd)
python=/usr/bin/python3  # Debian's, which has build and wheel
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

build=${KIV_BUILD_DIR:-}
if [ -z "$build" ]; then
  build="$work/build"
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKIV_BUILD_TESTS=OFF -DKIV_BUILD_BENCHMARKS=OFF >/dev/null
  cmake --build "$build" --target kivgsm >/dev/null
fi
library=$(find "$build" -name 'libkivgsm.so.1' -print -quit)
[ -n "$library" ] || { echo "python-wheels.sh: no libkivgsm.so.1 in $build" >&2; exit 1; }
library=$(readlink -f "$library")
gsm=$(ldd "$library" | awk '$1 == "libgsm.so.1" { print $3 }')
[ -n "$gsm" ] || { echo "python-wheels.sh: $library does not use libgsm.so.1" >&2; exit 1; }

"$python" -m build --wheel --no-isolation --outdir "$work/any" bindings/python >/dev/null
any=$(ls "$work"/any/kivgsm-*-py3-none-any.whl)

# The any-wheel, unpacked, with the native files beside the package and
# the WHEEL file saying what it now is; `wheel pack` names the file from
# its tag and writes the RECORD again.
platform_wheel() {  # TAG FILE...
  local tag=$1 dir
  shift
  rm -rf "$work/unpacked"
  "$python" -m wheel unpack --dest "$work/unpacked" "$any" >/dev/null
  dir=$(ls -d "$work"/unpacked/kivgsm-*)
  for f in "$@"; do cp "${f%%=*}" "$dir/kivgsm/${f##*=}"; done
  sed -i -e 's/^Root-Is-Purelib: .*/Root-Is-Purelib: false/' -e "s/^Tag: .*/Tag: $tag/" "$dir"/kivgsm-*.dist-info/WHEEL
  "$python" -m wheel pack --dest-dir "$out" "$dir" >/dev/null
}

newest_glibc=$(objdump -T "$library" "$gsm" | grep -o 'GLIBC_2\.[0-9]*' | sort -t. -k2,2n -u | tail -1)
arch=$(uname -m)
platform_wheel "py3-none-manylinux_2_${newest_glibc#GLIBC_2.}_${arch}" \
  "$library=libkivgsm.so.1" "$gsm=libgsm.so.1"

if [ -n "$windows" ]; then
  dll=$(find "$windows" -path '*/bin/kivgsm.dll' -print -quit)
  [ -n "$dll" ] || { echo "python-wheels.sh: no bin/kivgsm.dll in $windows" >&2; exit 1; }
  # The wheel's tag follows the DLL's machine: win_amd64, or win32 for the
  # 32-bit build (whose functions the loader calls as __stdcall).
  case "$(objdump -f "$dll" | sed -n 's/.*file format //p')" in
    pei-x86-64) tag=win_amd64 ;;
    pei-i386) tag=win32 ;;
    *) echo "python-wheels.sh: $dll is neither x86-64 nor x86" >&2; exit 1 ;;
  esac
  platform_wheel "py3-none-$tag" "$dll=kivgsm.dll"
fi
ls "$out"/*.whl
