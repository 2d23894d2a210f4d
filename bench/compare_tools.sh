#!/usr/bin/env bash
# Times `kivgsm convert` against sox and ffmpeg's libgsm_ms encoder on the
# same one-hour input (whole process, median of 5 runs each), and measures
# kivgsm's peak memory on a 1-minute and a 60-minute input.
# usage: bench/compare_tools.sh [BUILD_DIR]   (needs sox, ffmpeg, /usr/bin/time)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
tool=$build/tools/kivgsm
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Repeat the bundled sample to the wanted number of seconds.
make_input() {
  local seconds=$1 out=$2 bytes=$(( $1 * 16000 ))
  : >"$out"
  while [ "$(stat -c %s "$out")" -lt "$bytes" ]; do cat "$here/data/speech_8k.raw" >>"$out"; done
  truncate -s "$bytes" "$out"
}
make_input 3600 "$work/hour.raw"
make_input 60 "$work/minute.raw"

median_of_5() {
  local times=()
  for _ in 1 2 3 4 5; do
    local start end
    start=$(date +%s.%N)
    "$@" >/dev/null 2>&1
    end=$(date +%s.%N)
    times+=("$(echo "$end - $start" | bc -l)")
  done
  printf '%s\n' "${times[@]}" | sort -n | sed -n 3p
}

raw_in=(-t raw -r 8000 -e signed-integer -b 16 -c 1)
k=$(median_of_5 "$tool" convert "$work/hour.raw" "$work/k.wav")
s=$(median_of_5 sox "${raw_in[@]}" "$work/hour.raw" -t wav -e gsm-full-rate "$work/s.wav")
f=$(median_of_5 ffmpeg -nostdin -y -f s16le -ar 8000 -ac 1 -i "$work/hour.raw" -c:a libgsm_ms "$work/f.wav")
printf 'one hour of speech, median of 5 (s): kivgsm %.3f  sox %.3f  ffmpeg %.3f\n' "$k" "$s" "$f"
printf 'kivgsm speed: %.0fx real time; sox/kivgsm %.2f; ffmpeg/kivgsm %.2f\n' \
  "$(echo "3600 / $k" | bc -l)" "$(echo "$s / $k" | bc -l)" "$(echo "$f / $k" | bc -l)"

for input in minute hour; do
  kb=$(/usr/bin/time -f %M "$tool" convert "$work/$input.raw" "$work/m.wav" 2>&1 >/dev/null | tail -1)
  echo "kivgsm peak memory, $input input: $kb KiB"
done
