#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A batch's cost per file, and its memory, as the list of names grows:
# `find -print0 | kivgsm convert -o DIR -0 --files-from -` over 1,000 and
# over 100,000 one-second speech files (symbolic links to one file, so that the
# disk holds one input), with throughput and peak memory side by side.
# usage: bench/batch_scale.sh [BUILD_DIR] [SMALL] [LARGE]   (needs /usr/bin/time)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build}" && pwd)
small=${2:-1000}
large=${3:-100000}
tool=$build/tools/kivgsm
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
source "$here/bench/timing.sh"
make_speech_raw 1 "$work/one.raw"

printf '%-10s %10s %14s %14s\n' files seconds files/s "peak MiB"
for n in "$small" "$large"; do
  rm -rf "$work/in" "$work/out"
  mkdir -p "$work/in" "$work/out"
  # Up to 1000 links a folder, as archives keep them: one folder is made
  # link by link, the others are copies of it (links stay links).
  mkdir -p "$work/in/0"
  for ((i = 0; i < n && i < 1000; i++)); do ln -s "$work/one.raw" "$work/in/0/f$i.raw"; done
  for ((k = 1; k * 1000 < n; k++)); do cp -a "$work/in/0" "$work/in/$k"; done
  find "$work/in/$(((n - 1) / 1000))" -name 'f*.raw' | sort -V | tail -n +"$((n - (n - 1) / 1000 * 1000 + 1))" |
    xargs -r rm -f
  sync
  start=$(date +%s.%N)
  (cd "$work" && find in -name '*.raw' -print0 |
    /usr/bin/time -f '%M' -o "$work/rss" "$tool" convert -o out -0 --keep-tree --files-from - >/dev/null)
  end=$(date +%s.%N)
  secs=$(echo "$end - $start" | bc -l)
  done_files=$(find "$work/out" -name '*.wav' | wc -l)
  [ "$done_files" = "$n" ] || { echo "only $done_files of $n converted" >&2; exit 1; }
  printf '%-10s %10.1f %14.0f %14.1f\n' "$n" "$secs" "$(echo "$n / $secs" | bc -l)" \
    "$(echo "$(cat "$work/rss") / 1024" | bc -l)"
done
