#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Linux platform wheel as a user meets it: made from the built tree,
# installed with `pip install --no-index` into a fresh venv, and run with
# no KIVGSM_LIBRARY and no LD_LIBRARY_PATH. It must load the library and
# the libgsm it carries, whatever the system has, and convert the sample
# byte for byte as the built library does.
#
#   wheel_test.sh BUILD_DIR LIBRARY
set -euo pipefail
build=$1 library=$2
repo=$(cd "$(dirname "$0")/../../.." && pwd)
if ! /usr/bin/python3 -c 'import build, wheel, venv, ensurepip' 2>/dev/null; then
  echo "skipped: Debian's python3-build, python3-wheel and python3-venv are needed (scripts/install-packages.sh --test)"
  exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
KIV_BUILD_DIR="$build" bash "$repo/scripts/python-wheels.sh" "$work/dist" >/dev/null
wheel=$(ls "$work"/dist/kivgsm-*-py3-none-manylinux_2_*_"$(uname -m)".whl)
/usr/bin/python3 -m venv "$work/venv"
"$work/venv/bin/pip" install --quiet --no-index --disable-pip-version-check "$wheel"

cp "$repo/data/speech_8k.raw" "$work/speech.raw"
KIVGSM_LIBRARY="$library" PYTHONPATH="$repo/bindings/python" /usr/bin/python3 -c \
  'import sys, kivgsm; kivgsm.convert(sys.argv[1], sys.argv[2])' "$work/speech.raw" "$work/reference.wav"
cd "$work"
env -u KIVGSM_LIBRARY -u LD_LIBRARY_PATH -u PYTHONPATH "$work/venv/bin/python" - "$work" <<'PY'
import sys, kivgsm
from kivgsm import _native
venv = sys.argv[1] + "/venv/"
kivgsm.convert("speech.raw", "wheel.wav")
assert _native.library().name.startswith(venv), _native.library().name
maps = open("/proc/self/maps").read().split()
for lib in ("libkivgsm.so.1", "libgsm.so.1"):
    paths = {p for p in maps if p.endswith("/" + lib)}
    assert paths and all(p.startswith(venv) for p in paths), (lib, paths)
PY
cmp "$work/reference.wav" "$work/wheel.wav"
echo "$(basename "$wheel"): installed in a fresh venv, converts as the library does"
