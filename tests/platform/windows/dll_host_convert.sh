#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the C host against kivgsm.dll under Wine, then converts the same
# generated inputs with the Linux build's tool (when given) and requires
# every output to be byte-identical.
#
#   dll_host_convert.sh WINE_RUNNER DLL_HOST SPEECH.raw [NATIVE_KIVGSM]
set -euo pipefail
runner=$1 host=$2 speech=$3 native=${4:-}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
"$runner" "$host" convert "$speech" "$dir"
if [ -z "$native" ]; then
  echo "no Linux build given (KIV_NATIVE_TOOL): outputs not compared"
  exit 0
fi
for raw in "$dir"/speech.raw "$dir"/noise.raw "$dir"/min.raw "$dir"/square.raw "$dir"/chirp.raw \
           "$dir"/silence.raw "$dir"/odd.raw; do
  name=$(basename "$raw" .raw)
  "$native" convert "$raw" "$dir/$name.linux.wav" >/dev/null
  cmp "$dir/$name.wav" "$dir/$name.linux.wav"
  echo "$name: $(stat -c %s "$dir/$name.wav") bytes, identical to the Linux build's"
done
