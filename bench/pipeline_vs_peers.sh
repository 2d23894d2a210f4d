#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The conversion pipeline against sox and ffmpeg, side by side in one run,
# whole process, each figure the median of interleaved rounds:
#  1. one hour of 44.1 kHz stereo 16-bit WAVE (median of 3);
#  2. 500 one-second 16 kHz WAVE files: kivgsm as one batch (-o DIR), and
#     sox and ffmpeg once per file, as a script would call them (median of 3);
#  3. one one-second WAVE, the cost of one call (median of 31);
#  4. a chained Ogg Vorbis file of 10,000 links: kivgsm's peak memory and the
#     most files it holds open at once
#     (10,000 one-second links, each with a serial number of its own).
# usage: bench/pipeline_vs_peers.sh [BUILD_DIR]   (needs sox, ffmpeg, /usr/bin/time)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
tool=$build/tools/kivgsm
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
source "$here/bench/timing.sh"
raw=(-t raw -r 8000 -e signed-integer -b 16 -c 1)

make_speech_raw 3600 "$work/hour8k.raw"
sox "${raw[@]}" "$work/hour8k.raw" -r 44100 -c 2 -b 16 "$work/hour.wav"
sox "${raw[@]}" "$work/hour8k.raw" -r 16000 "$work/hour16k.wav"
mkdir "$work/seconds" "$work/o"
for i in $(seq 0 499); do sox "$work/hour16k.wav" "$work/seconds/s$i.wav" trim "$((i * 7))" 1; done
cp "$work/seconds/s0.wav" "$work/one.wav"
sync

ratio() { echo "$1 / $2" | bc -l; }
say() { printf '%-44s kivgsm %8.4f s   sox %8.4f s (%.2fx)   ffmpeg %8.4f s (%.2fx)\n' "$1" "$2" "$3" \
  "$(ratio "$3" "$2")" "$4" "$(ratio "$4" "$2")"; }
ours=() soxs=() ffs=()
for _ in 1 2 3; do
  ours+=("$(seconds_of "$tool" convert "$work/hour.wav" "$work/k.wav")")
  soxs+=("$(seconds_of sox "$work/hour.wav" -r 8000 -c 1 -e gsm-full-rate "$work/s.wav")")
  ffs+=("$(seconds_of ffmpeg -y -v error -i "$work/hour.wav" -ar 8000 -ac 1 -c:a libgsm_ms "$work/f.wav")")
done
say "one hour of 44.1 kHz stereo WAVE" "$(median "${ours[@]}")" "$(median "${soxs[@]}")" "$(median "${ffs[@]}")"

batch_sox() { for f in "$work"/seconds/*.wav; do sox "$f" -r 8000 -c 1 -e gsm-full-rate "$work/o/x.wav"; done; }
batch_ffmpeg() {
  for f in "$work"/seconds/*.wav; do ffmpeg -y -v error -i "$f" -ar 8000 -ac 1 -c:a libgsm_ms "$work/o/x.wav"; done
}
ours=() soxs=() ffs=()
for _ in 1 2 3; do
  rm -rf "$work/o" && mkdir "$work/o"
  ours+=("$(seconds_of "$tool" convert -o "$work/o" "$work"/seconds/*.wav)")
  soxs+=("$(seconds_of batch_sox)")
  ffs+=("$(seconds_of batch_ffmpeg)")
done
say "500 one-second files" "$(median "${ours[@]}")" "$(median "${soxs[@]}")" "$(median "${ffs[@]}")"

ours=() soxs=() ffs=()
for _ in $(seq 31); do
  ours+=("$(seconds_of "$tool" convert "$work/one.wav" "$work/k1.wav")")
  soxs+=("$(seconds_of sox "$work/one.wav" -r 8000 -c 1 -e gsm-full-rate "$work/s1.wav")")
  ffs+=("$(seconds_of ffmpeg -y -v error -i "$work/one.wav" -ar 8000 -ac 1 -c:a libgsm_ms "$work/f1.wav")")
done
say "one one-second file" "$(median "${ours[@]}")" "$(median "${soxs[@]}")" "$(median "${ffs[@]}")"

# Ten links of a second each, with serial numbers of their own, repeated.
for i in $(seq 0 9); do sox "$work/seconds/s$i.wav" -r 8000 "$work/link$i.ogg"; done
for k in $(seq 0 999); do cat "$work"/link?.ogg; done >"$work/chain.ogg"
/usr/bin/time -f '%M' -o "$work/rss" "$tool" convert "$work/chain.ogg" "$work/chain.wav" >"$work/chain.out" 2>&1 &
most=0
while kill -0 $! 2>/dev/null; do
  pid=$(pgrep -n -f "convert $work/chain.ogg" || true)
  if [ -n "$pid" ]; then
    # (The process may end between pgrep and ls.)
    n=$(ls "/proc/$pid/fd" 2>/dev/null | wc -l || true)
    if [ "$n" -gt "$most" ]; then most=$n; fi
  fi
  sleep 0.005
done
wait $! || true
printf 'chained Ogg, 10,000 links (%s bytes): %s; peak memory %.1f MiB; at most %d descriptors open (0, 1, 2 included)\n' \
  "$(stat -c %s "$work/chain.ogg")" "$(head -n 1 "$work/chain.out")" "$(echo "$(cat "$work/rss") / 1024" | bc -l)" "$most"
