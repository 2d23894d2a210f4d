#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# kivgsm.dll imports only system DLLs and exports exactly the five entry
# points, undecorated.
set -euo pipefail
dll=$1
dump=$(x86_64-w64-mingw32-objdump -p "$dll")  # reads pei-i386 too
imports=$(printf '%s\n' "$dump" | awk '/DLL Name:/ {print toupper($3)}' | sort -u | tr '\n' ' ')
exports=$(printf '%s\n' "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '/^\t\[ *[0-9]+\]/ {print $NF}' | sort | tr '\n' ' ')
echo "imports: $imports"
echo "exports: $exports"
for dll_name in $imports; do
  case "$dll_name" in
    KERNEL32.DLL | WINMM.DLL | MSVCRT.DLL | API-MS-WIN-CRT-*.DLL | UCRTBASE.DLL) ;;
    *) echo "unexpected import: $dll_name" >&2; exit 1 ;;
  esac
done
test "$exports" = "KivGSMSoundRecorderStart KivGSMSoundRecorderStop KivGSMWAVSoundRecorderStart KivGSMWAVSoundRecorderStop KivWave2GSM610 "
