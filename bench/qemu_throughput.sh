#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Converter throughput on one hour of speech: native x86-64 beside the
# arm64 and armhf builds under qemu-user (median of 3 each), and a check
# that all three write the same bytes. qemu's figures are not the
# hardware's: they are a relative check only.
# usage: bench/qemu_throughput.sh [NATIVE_BUILD] [ARM64_BUILD] [ARMHF_BUILD]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
native=${1:-$here/build} arm64=${2:-$here/build-arm64} armhf=${3:-$here/build-armhf}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
source "$here/bench/timing.sh"
make_speech_raw 3600 "$work/hour.raw"

for pair in "x86-64:$native/tools/kivgsm" "arm64:$arm64/emulated/kivgsm_tool" "armhf:$armhf/emulated/kivgsm_tool"; do
  name=${pair%%:*} tool=${pair#*:}
  times=()
  for _ in 1 2 3; do times+=("$(seconds_of "$tool" convert "$work/hour.raw" "$work/$name.wav")"); done
  t=$(median "${times[@]}")
  printf '%-7s %7.2f s  %5.0fx real time\n' "$name" "$t" "$(echo "3600 / $t" | bc -l)"
done
cmp "$work/x86-64.wav" "$work/arm64.wav"
cmp "$work/x86-64.wav" "$work/armhf.wav"
echo "same bytes on all three"
