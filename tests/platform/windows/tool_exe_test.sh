#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# kivgsm.exe under Wine: convert to a non-ASCII name (arguments arrive as
# UTF-16 whatever the code page), info on the result, and record with no
# device reachable finishing an empty file.
#
#   tool_exe_test.sh WINE_RUNNER KIVGSM_EXE SPEECH.raw [NATIVE_KIVGSM [CONSOLE_HOST]]
set -euo pipefail
runner=$1 exe=$2 speech=$3 native=${4:-} console_host=${5:-}
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
# Windows device names are refused with 4 before anything is converted,
# however they are written.
for device in NUL nul.wav con.wav AUX "$dir/COM1" "$dir/lpt3.txt"; do
  rc=0
  "$runner" "$exe" convert "$speech" "$device" 2>"$dir/device.err" || rc=$?
  test "$rc" = 4 || { echo "convert to $device gave $rc" >&2; cat "$dir/device.err" >&2; exit 1; }
  grep -q 'Windows device name' "$dir/device.err"
done
# Lists as Windows writes them: UTF-16 with a mark (PowerShell's >) is
# read; a line in the ANSI code page (dir /b > list.txt) is reported and
# skipped, and the rest converted.
cp "$speech" "$dir/a.raw"
printf 'a.raw\r\n' | iconv -t UTF-16 > "$dir/utf16.txt"
(cd "$dir" && "$runner" "$exe" convert -o u16 --files-from utf16.txt >/dev/null)
test -s "$dir/u16/a.wav"
printf 'caf\351.raw\r\na.raw\r\n' > "$dir/ansi.txt"
rc=0
(cd "$dir" && "$runner" "$exe" convert -o ansi --files-from ansi.txt >/dev/null 2>"$dir/ansi.err") || rc=$?
test "$rc" = 5 || { echo "an ANSI list gave $rc" >&2; cat "$dir/ansi.err" >&2; exit 1; }
grep -q 'ansi.txt, line 1: .*is not UTF-8' "$dir/ansi.err"
test -s "$dir/ansi/a.wav"
# Outputs that differ only in case are one file in a Windows folder: names
# given on the command line are refused with 9 before anything starts.
mkdir "$dir/a" "$dir/b"
cp "$speech" "$dir/a/Out.raw"
cp "$speech" "$dir/b/out.raw"
for jobs in 2 1; do
  rc=0
  (cd "$dir" && "$runner" "$exe" convert -j $jobs -o case$jobs 'a\Out.raw' 'b\out.raw' >/dev/null 2>"$dir/case.err") ||
    rc=$?
  test "$rc" = 9 || { echo "outputs differing in case gave $rc with -j $jobs" >&2; exit 1; }
  grep -q 'nothing converted' "$dir/case.err"
  test ! -e "$dir/case$jobs"
done
# The same two names from a list in UTF-8 with a mark (Notepad's UTF-8).
printf '\357\273\277a\\Out.raw\r\nb\\out.raw\r\n' > "$dir/mixed.txt"
rc=0
(cd "$dir" && "$runner" "$exe" convert -o caselist --files-from mixed.txt >/dev/null 2>&1) || rc=$?
test "$rc" = 9 || { echo "outputs differing in case, from a list, gave $rc" >&2; exit 1; }
test "$(ls "$dir/caselist" | wc -l)" = 1
# NUL is a character device but no terminal: GSM sent to it is thrown
# away, as a user who redirects there asks.
(cd "$(dirname "$exe")" && "$runner" cmd /c "kivgsm.exe convert $speech - > NUL" 2>"$dir/nul.err") ||
  { echo "convert to standard output at NUL failed" >&2; cat "$dir/nul.err" >&2; exit 1; }
echo "convert, info and record behave under Wine"
# A message naming a non-ASCII file, on a console (Wine gives one to a
# program on a terminal): the console shows the name as it is, and keeps
# its code page once the tool has gone.
if [ -n "$console_host" ]; then
  # (console_host lies beside kivgsm.exe, where CreateProcess finds it.)
  (cd "$dir" && script -qec "'$runner' '$console_host' 'kivgsm.exe convert missing-é-звук.raw out.wav' \
                             'missing-é-звук.raw'" /dev/null >/dev/null)
  echo "a non-ASCII name in a message reads right on the console"
fi
