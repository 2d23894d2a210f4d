#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Times `kivgsm convert` against sox and ffmpeg's libgsm_ms encoder on the
# same one-hour input (whole process, median of 5 interleaved rounds), and measures
# kivgsm's peak memory on a 1-minute and a 60-minute input.
# usage: bench/compare_tools.sh [BUILD_DIR]   (needs sox, ffmpeg, /usr/bin/time)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
tool=$build/tools/kivgsm
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

source "$here/bench/timing.sh"
make_speech_raw 3600 "$work/hour.raw"
make_speech_raw 60 "$work/minute.raw"

sync  # let the new inputs reach the disk before anything is timed


# Five rounds, each running the three tools in turn, so that any noise on
# the machine falls on all of them alike.
raw_in=(-t raw -r 8000 -e signed-integer -b 16 -c 1)
kt=() st=() ft=()
for _ in 1 2 3 4 5; do
  kt+=("$(seconds_of "$tool" convert "$work/hour.raw" "$work/k.wav")")
  st+=("$(seconds_of sox "${raw_in[@]}" "$work/hour.raw" -t wav -e gsm-full-rate "$work/s.wav")")
  ft+=("$(seconds_of ffmpeg -nostdin -y -f s16le -ar 8000 -ac 1 -i "$work/hour.raw" -c:a libgsm_ms "$work/f.wav")")
done
k=$(median "${kt[@]}") s=$(median "${st[@]}") f=$(median "${ft[@]}")
printf 'one hour of speech, median of 5 (s): kivgsm %.3f  sox %.3f  ffmpeg %.3f\n' "$k" "$s" "$f"
printf 'kivgsm speed: %.0fx real time; sox/kivgsm %.2f; ffmpeg/kivgsm %.2f\n' \
  "$(echo "3600 / $k" | bc -l)" "$(echo "$s / $k" | bc -l)" "$(echo "$f / $k" | bc -l)"

for input in minute hour; do
  kb=$(/usr/bin/time -f %M "$tool" convert "$work/$input.raw" "$work/m.wav" 2>&1 >/dev/null | tail -1)
  echo "kivgsm peak memory, $input input: $kb KiB"
done
