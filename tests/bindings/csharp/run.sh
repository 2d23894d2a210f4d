#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The C# binding under Mono, against the built library: builds the sample
# with mcs, converts the speech sample between non-ASCII names and compares
# the output with the tool's conversion of the same bytes; a missing input
# exits with the library's code 5 and a message naming it.
#
#   run.sh LIBRARY TOOL SAMPLE BINDINGS_DIR
set -euo pipefail
lib=$1 tool=$2 sample=$3 src=$4
for program in mcs mono; do
  if ! command -v "$program" >/dev/null; then
    echo "skipped: $program is not installed (scripts/install-packages.sh installs mono-mcs and mono-runtime)"
    exit 77
  fi
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mcs -nologo -warnaserror -out:"$work/Sample.exe" "$src/Sample.cs" "$src/Kivgsm.cs"
# The dllmap sends "kivgsm" to libkivgsm.so.1, here the built library alone
# (as Debian's libkivgsm1 installs it: no libkivgsm.so beside it).
cp "$src/Sample.exe.config" "$work/"
mkdir "$work/lib"
ln -s "$(realpath "$lib")" "$work/lib/libkivgsm.so.1"
export LD_LIBRARY_PATH="$work/lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"

in="$work/入力 ü.raw" out="$work/出力 🎤.wav"
cp "$sample" "$in"
mono "$work/Sample.exe" "$in" "$out"
"$tool" convert --raw "$sample" "$work/reference.wav" >/dev/null
cmp "$out" "$work/reference.wav"
test "$(stat -c %s "$out")" -gt 60

set +e
mono "$work/Sample.exe" "$work/nö.raw" "$work/x.wav" 2>"$work/err"
rc=$?
set -e
cat "$work/err"
test "$rc" -eq 5
grep -q "nö.raw" "$work/err"
test ! -e "$work/x.wav"
echo "C# sample ok"
