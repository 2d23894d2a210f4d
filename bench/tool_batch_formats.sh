#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The tool for people, measured side by side in one run:
#  1. batch: 100 one-minute speech files (16 kHz mono WAVE), `kivgsm convert
#     -o DIR -j 1` against `-j 2`, median of 3 interleaved rounds;
#  2. any format: one hour of 44.1 kHz stereo 16-bit WAVE to GSM WAVE,
#     kivgsm against sox and ffmpeg (libgsm_ms), whole process, median of 5
#     interleaved rounds, with peak memory, and kivgsm's peak memory on a
#     6-minute input beside the hour's.
# usage: bench/tool_batch_formats.sh [BUILD_DIR]   (needs sox, ffmpeg, /usr/bin/time)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
tool=$build/tools/kivgsm
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

raw=(-t raw -r 8000 -e signed-integer -b 16 -c 1)
source "$here/bench/timing.sh"
make_speech_raw 3600 "$work/hour8k.raw"
sox "${raw[@]}" "$work/hour8k.raw" -r 44100 -c 2 -b 16 "$work/hour.wav"
sox "$work/hour.wav" "$work/tenth.wav" trim 0 360
# 100 different minutes of speech at 16 kHz.
mkdir "$work/minutes" "$work/out1" "$work/out2"
sox "${raw[@]}" "$work/hour8k.raw" -r 16000 "$work/hour16k.wav"
for i in $(seq 0 99); do
  sox "$work/hour16k.wav" "$work/minutes/m$i.wav" trim $((i * 30)).$((i % 10)) 60
done
sync


j1=() j2=()
for _ in 1 2 3; do
  j1+=("$(seconds_of "$tool" convert -j 1 -o "$work/out1" "$work"/minutes/*.wav)")
  j2+=("$(seconds_of "$tool" convert -j 2 -o "$work/out2" "$work"/minutes/*.wav)")
done
for f in "$work"/out1/*.wav; do cmp "$f" "$work/out2/$(basename "$f")"; done
a=$(median "${j1[@]}") b=$(median "${j2[@]}")
printf 'batch, 100 one-minute files, median of 3 (s): -j 1 %.2f  -j 2 %.2f  speed-up %.2fx  (%.0f / %.0f x real time)\n' \
  "$a" "$b" "$(echo "$a / $b" | bc -l)" "$(echo "6000 / $a" | bc -l)" "$(echo "6000 / $b" | bc -l)"

kt=() st=() ft=()
for _ in 1 2 3 4 5; do
  kt+=("$(seconds_of "$tool" convert "$work/hour.wav" "$work/k.wav")")
  st+=("$(seconds_of sox "$work/hour.wav" -r 8000 -c 1 -e gsm-full-rate "$work/s.wav")")
  ft+=("$(seconds_of ffmpeg -nostdin -y -i "$work/hour.wav" -ar 8000 -ac 1 -c:a libgsm_ms "$work/f.wav")")
done
k=$(median "${kt[@]}") s=$(median "${st[@]}") f=$(median "${ft[@]}")
printf 'one hour of 44.1 kHz stereo WAVE, median of 5 (s): kivgsm %.3f  sox %.3f  ffmpeg %.3f\n' "$k" "$s" "$f"
printf 'kivgsm %.0fx real time; sox/kivgsm %.2f; ffmpeg/kivgsm %.2f\n' \
  "$(echo "3600 / $k" | bc -l)" "$(echo "$s / $k" | bc -l)" "$(echo "$f / $k" | bc -l)"
peak() { /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -1; }
printf 'peak memory (KiB), hour: kivgsm %s  sox %s  ffmpeg %s; kivgsm on 6 minutes: %s\n' \
  "$(peak "$tool" convert "$work/hour.wav" "$work/k.wav")" \
  "$(peak sox "$work/hour.wav" -r 8000 -c 1 -e gsm-full-rate "$work/s.wav")" \
  "$(peak ffmpeg -nostdin -y -i "$work/hour.wav" -ar 8000 -ac 1 -c:a libgsm_ms "$work/f.wav")" \
  "$(peak "$tool" convert "$work/tenth.wav" "$work/k.wav")"
