#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# kivgsm.exe under Wine: convert to a non-ASCII name (arguments arrive as
# UTF-16 whatever the code page), info on the result, and record with no
# device reachable finishing an empty file.
#
#   tool_exe_test.sh WINE_RUNNER KIVGSM_EXE SPEECH.raw [NATIVE_KIVGSM]
set -euo pipefail
runner=$1 exe=$2 speech=$3 native=${4:-}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
out="$dir/résumé-звук-€.wav"
"$runner" "$exe" convert "$speech" "$out"
test -f "$out"
"$runner" "$exe" info "$out" | grep -q 'sizes agree:       yes'
if [ -n "$native" ]; then
  "$native" convert "$speech" "$dir/linux.wav" >/dev/null
  cmp "$out" "$dir/linux.wav"
fi
printf 'pcm.!default {\n type hw\n card 57\n device 0\n}\n' > "$dir/nocard.conf"
rc=0
PULSE_SERVER="unix:$dir/none" ALSA_CONFIG_PATH="$dir/nocard.conf" "$runner" "$exe" record --seconds 0.2 "$dir/r.wav" || rc=$?
test "$rc" = 1
test "$(stat -c %s "$dir/r.wav")" = 60
echo "convert, info and record behave under Wine"
