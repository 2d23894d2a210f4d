#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# CPU time of a 10 s paced recording through a real sound server, for
# `kivgsm record` (GSM and PCM) beside arecord on the same setup: a private
# PulseAudio daemon with an 8000 Hz null sink, reached through ALSA's pulse
# plugin. Run with the server's first data prompt, and late (no reader on
# the sink, so a new capture waits 1-2 s for its first data).
#
#   bench/record_cpu.sh BUILD_DIR [ROUNDS]
#
# Prints user+system seconds per recording, the median of ROUNDS (3).
set -euo pipefail
build=${1:?build directory}
rounds=${2:-3}
here=$(cd "$(dirname "$0")" && pwd)
script="$here/../tests/platform/pulse/pulse_server.sh"
kivgsm="$build/tools/kivgsm"
work=$(mktemp -d)
trap 'bash "$script" stop "$work/prompt"; bash "$script" stop "$work/late"; rm -rf "$work"' EXIT

bash "$script" start "$work/prompt"
bash "$script" start "$work/late" --late

cpu() {  # prints user+sys seconds of the command
  /usr/bin/time -f '%U %S' -o "$work/t" "$@" </dev/null >/dev/null 2>&1 || true
  tail -n 1 "$work/t" | awk '{printf "%.3f\n", $1 + $2}'
}
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR + 1) / 2)]}'; }

printf '%-8s %-22s %s\n' server recorder "CPU s per 10 s (median of $rounds)"
for server in prompt late; do
  (
    set -a
    eval "$(bash "$script" env "$work/$server")"
    set +a
    for what in "kivgsm record (GSM)" "kivgsm record --pcm" "arecord"; do
      for _ in $(seq 1 "$rounds"); do
        case "$what" in
          "kivgsm record (GSM)") cpu "$kivgsm" record --seconds 10 "$work/g.wav" ;;
          "kivgsm record --pcm") cpu "$kivgsm" record --pcm --seconds 10 "$work/p.wav" ;;
          arecord) cpu arecord -q -D default -f S16_LE -r 8000 -c 1 -d 10 "$work/a.wav" ;;
        esac
      done | median | xargs printf '%-8s %-22s %s\n' "$server" "$what"
    done
  )
done
