#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Windows zip, unpacked into an empty folder and used from there under
# Wine, against the Linux build's tool.
#
#   zip_test.sh contents    WINE_RUNNER ZIP NATIVE_BUILD
#   zip_test.sh dll-host    WINE_RUNNER ZIP NATIVE_BUILD DLL_HOST SPEECH.raw
#   zip_test.sh tool        WINE_RUNNER ZIP NATIVE_BUILD SPEECH.raw
#   zip_test.sh import-libs WINE_RUNNER ZIP NATIVE_BUILD SPEECH.raw
#   zip_test.sh link-hosts  WINE_RUNNER ZIP NATIVE_BUILD SPEECH.raw
#   zip_test.sh find-package WINE_RUNNER ZIP NATIVE_BUILD SPEECH.raw CONSUMER_DIR TOOLCHAIN
#
# contents:    exactly the files it should hold; kivgsm.dll imports system
#              DLLs only and exports the five names; kivgsm.exe imports
#              libsndfile and libsoxr, which lie beside it and import
#              system DLLs only.
# dll-host:    the C host loads the zip's kivgsm.dll with LoadLibraryW and
#              converts into files identical to the Linux tool's.
# tool:        kivgsm.exe converts a 16 kHz stereo WAVE (decoded level for
#              level like the Linux tool's: the two libsoxr builds may
#              differ in the last bits), the same under a non-ASCII name,
#              8000 Hz WAVE float and extensible, AIFF, CAF, W64 and AU
#              (block for block identical: the same libsndfile), decodes
#              its output into the Linux tool's bytes, and refuses FLAC
#              (this libsndfile has no external codecs) with 5.
# import-libs: a host with no C runtime linked against lib/kivgsm.lib by
#              clang and lld-link (MSVC-style), and against
#              lib/libkivgsm.dll.a by MinGW's ld, converts as Linux does.
# link-hosts:  import-libs without Wine: both hosts link, and import the
#              five undecorated names from kivgsm.dll.
# find-package: a CMake project finds the unpacked zip (lib/cmake/kivgsm)
#              and its program converts under Wine as Linux does.
set -euo pipefail
mode=$1 runner=$2 zip=$3 native=$4
shift 4
here=$(cd "$(dirname "$0")" && pwd)
kivgsm="$native/tools/kivgsm"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/unpacked"
unzip -q "$zip" -d "$work/unpacked"
root=$(echo "$work"/unpacked/*)
bin="$root/bin"

# The zip's machine: x86-64 (win64) or x86 (win32, whose five functions are
# __stdcall, decorated @N in the import libraries).
case "$(basename "$zip" .zip)" in
  *-win32) host_triplet=i686-w64-mingw32 machine=i386 msvc_target=i686-pc-windows-msvc exit_process=ExitProcess@4 ;;
  *) host_triplet=x86_64-w64-mingw32 machine=i386:x86-64 msvc_target=x86_64-pc-windows-msvc exit_process=ExitProcess ;;
esac
imports() { "$host_triplet-objdump" -p "$1" | awk '/DLL Name:/ {print $3}' | sort -u; }
system_dll() { case "${1^^}" in KERNEL32.DLL | WINMM.DLL | MSVCRT.DLL | API-MS-WIN-CRT-*.DLL | UCRTBASE.DLL) ;; *) return 1 ;; esac; }

# Level for level: the 20 ms frame levels of the two files decoded (by the
# Linux tool), compared over the frames above about -40 dBFS, as the Linux
# format tests compare with sox.
same_levels() {
  "$kivgsm" decode "$1" "$work/a.pcm.wav" >/dev/null
  "$kivgsm" decode "$2" "$work/b.pcm.wav" >/dev/null
  python3 - "$work/a.pcm.wav" "$work/b.pcm.wav" <<'PY'
import array, math, sys, wave
def levels(path):
    with wave.open(path) as w:
        s = array.array("h", w.readframes(w.getnframes()))
    return [10 * math.log10(sum(x * x for x in s[i:i + 160]) / 160 + 1) for i in range(0, len(s) - 159, 160)]
a, b = levels(sys.argv[1]), levels(sys.argv[2])
diffs = sorted(abs(x - y) for x, y in zip(a, b) if y >= 50)
mean, p99 = sum(diffs) / len(diffs), diffs[len(diffs) * 99 // 100]
print(f"{len(diffs)} loud frames of {len(b)}: mean level difference {mean:.3f} dB, 99th percentile {p99:.3f} dB")
sys.exit(0 if abs(len(a) - len(b)) <= 2 and len(diffs) > 100 and mean < 0.75 and p99 < 3.0 else 1)
PY
}

case "$mode" in
contents)
  name=$(basename "$root")
  [ "$name" = "$(basename "$zip" .zip)" ]
  (cd "$root" && find . -type f | sed 's|^\./||' | sort) > "$work/listing"
  sort > "$work/expected" <<'EOF'
bin/kivgsm.dll
bin/kivgsm.exe
bin/libsndfile-1.dll
bin/libsoxr.dll
include/kivgsm.h
lib/libkivgsm.dll.a
lib/kivgsm.lib
licenses/libsndfile/COPYING
licenses/libsndfile/SOURCE
licenses/libsoxr/COPYING.LGPL
licenses/libsoxr/LICENCE
licenses/libsoxr/SOURCE
README.txt
LICENSE
THIRD-PARTY-NOTICES
bindings/Kivgsm.cs
lib/cmake/kivgsm/kivgsmConfig.cmake
lib/cmake/kivgsm/kivgsmConfigVersion.cmake
EOF
  diff "$work/expected" "$work/listing"
  bash "$here/check_dll.sh" "$bin/kivgsm.dll"
  # kivgsm.exe carries one manifest (long paths, the UTF-8 code page) and
  # a version resource.
  test "$(grep -a -c '<assembly xmlns' "$bin/kivgsm.exe")" = 1
  grep -a -q '<longPathAware[^>]*>true</longPathAware>' "$bin/kivgsm.exe"
  grep -a -q '<activeCodePage[^>]*>UTF-8</activeCodePage>' "$bin/kivgsm.exe"
  strings -el "$bin/kivgsm.exe" | grep -qx 'kivgsm command-line tool'
  strings -el "$bin/kivgsm.exe" | grep -qx "$(basename "$zip" .zip | sed -E 's/^kivgsm-//; s/-win(32|64)$//')"
  imports "$bin/kivgsm.exe" | grep -qx libsndfile-1.dll
  imports "$bin/kivgsm.exe" | grep -qx libsoxr.dll
  for module in "$bin"/*.exe "$bin"/*.dll; do
    for dll in $(imports "$module"); do
      system_dll "$dll" && continue
      case "$(basename "$module")" in
        kivgsm.exe) [ -f "$bin/$dll" ] || { echo "kivgsm.exe imports $dll, which is not beside it" >&2; exit 1; } ;;
        *) echo "$(basename "$module") imports $dll, not a system DLL" >&2; exit 1 ;;
      esac
    done
  done
  # The MinGW import library and the MSVC-style one name the same five:
  # on x86 as __stdcall symbols (_Name@N).
  for lib in libkivgsm.dll.a kivgsm.lib; do
    "$host_triplet-nm" "$root/lib/$lib" | awk '$2 == "T" && $3 ~ /^_?Kiv/ {print $3}' | sort > "$work/$lib.names"
  done
  diff "$work/libkivgsm.dll.a.names" "$work/kivgsm.lib.names"
  [ "$(wc -l < "$work/kivgsm.lib.names")" = 5 ]
  if [ "$machine" = i386 ]; then
    [ "$(grep -c '^_Kiv[A-Za-z0-9]*@[048]$' "$work/kivgsm.lib.names")" = 5 ]
  fi
  echo "the zip holds what it should; its modules import system DLLs and each other only"
  ;;
dll-host)
  host=$1 speech=$2
  cp "$host" "$bin/"
  bash "$here/dll_host_convert.sh" "$runner" "$bin/$(basename "$host")" "$speech" "$kivgsm"
  ;;
tool)
  speech=$1
  exe="$bin/kivgsm.exe"
  cd "$work"
  # 16 kHz stereo: speech on the left, at half level 5 ms later on the right.
  sox -R -r 8000 -e signed -b 16 -c 1 "$speech" -r 16000 -c 2 -b 16 in.wav remix 1 1v0.5 delay 0 0.005
  "$runner" "$exe" convert in.wav win.wav
  "$kivgsm" convert in.wav linux.wav >/dev/null
  if cmp -s win.wav linux.wav; then echo "16 kHz stereo WAVE: identical to the Linux tool's"; else
    echo -n "16 kHz stereo WAVE: not identical (the libsoxr builds differ in the last bits); "
    same_levels win.wav linux.wav
  fi
  cp in.wav "ünï-звук-€.wav"
  "$runner" "$exe" convert "ünï-звук-€.wav" "выход-é.wav" >/dev/null
  cmp "выход-é.wav" win.wav
  "$runner" "$exe" decode win.wav "décodé-звук.wav" >/dev/null
  "$kivgsm" decode win.wav linux.pcm.wav >/dev/null
  cmp "décodé-звук.wav" linux.pcm.wav
  echo "a non-ASCII input name converts alike; decode to a non-ASCII name gives the Linux tool's bytes"
  # A batch into a folder named by its \\?\ path: names joined with '\'.
  mkdir batch
  "$runner" "$exe" convert -o "\\\\?\\Z:$(pwd | tr / '\\')\\batch" in.wav "ünï-звук-€.wav" >/dev/null
  cmp batch/in.wav win.wav
  cmp "batch/ünï-звук-€.wav" win.wav
  echo "a batch into a \\\\?\\ folder writes every file"
  for f in "float.wav:-c 2 -e floating-point -b 32" "extensible.wav:-c 2 -b 24" "in.aiff:-c 1 -b 16" \
           "in.caf:-c 2 -b 16" "in.w64:-c 1 -b 16" "in.au:-c 1 -b 16"; do
    file=${f%%:*} opts=${f#*:}
    sox -R -r 8000 -e signed -b 16 -c 1 "$speech" $opts "$file" $([ "${opts:3:1}" = 2 ] && echo remix 1 1v0.5)
    "$runner" "$exe" convert "$file" "$file.win.wav" >/dev/null
    "$kivgsm" convert "$file" "$file.linux.wav" >/dev/null
    cmp "$file.win.wav" "$file.linux.wav"
    echo "$file: identical to the Linux tool's"
  done
  sox -R -r 8000 -e signed -b 16 -c 1 "$speech" in.flac
  rc=0
  "$runner" "$exe" convert in.flac flac.wav 2>/dev/null || rc=$?
  [ "$rc" = 5 ] && [ ! -e flac.wav ]
  echo "FLAC refused with 5, nothing written"
  ;;
import-libs | link-hosts)
  speech=$1
  mkdir "$work/run" "$work/crt"
  cp "$speech" "$work/run/speech.raw"
  "$kivgsm" convert "$work/run/speech.raw" "$work/linux.wav" >/dev/null
  # MSVC-style: clang's COFF objects for the msvc target, linked by
  # lld-link. No C runtime or Windows SDK is involved: kivgsm.h needs
  # <stdint.h> (clang's own, freestanding) and <wchar.h> for wchar_t only,
  # which clang's <stddef.h> gives; ExitProcess comes from an import
  # library made here.
  echo '#include <stddef.h>' > "$work/crt/wchar.h"
  printf 'LIBRARY kernel32.dll\nEXPORTS\n  %s\n' "$exit_process" > "$work/kernel32.def"
  llvm-dlltool -m "$machine" -d "$work/kernel32.def" -k -l "$work/kernel32.lib"
  clang --target="$msvc_target" -ffreestanding -O2 -Wall -Werror -I "$work/crt" -I "$root/include" \
    '-DOUTPUT=L"msvc.wav"' -c "$here/import_host.c" -o "$work/msvc_host.obj"
  lld-link /nologo /entry:HostMain /subsystem:console /nodefaultlib /out:"$bin/msvc_host.exe" \
    "$work/msvc_host.obj" "$root/lib/kivgsm.lib" "$work/kernel32.lib"
  # MinGW: the same source against libkivgsm.dll.a.
  "$host_triplet-gcc-posix" -ffreestanding -nostdlib -e "$([ "$machine" = i386 ] && echo _)HostMain" -O2 -Wall -Werror -I "$root/include" \
    '-DOUTPUT=L"mingw.wav"' "$here/import_host.c" "$root/lib/libkivgsm.dll.a" -lkernel32 -o "$bin/mingw_host.exe"
  for host in msvc mingw; do
    imports "$bin/${host}_host.exe" | grep -qix kivgsm.dll
    "$host_triplet-objdump" -p "$bin/${host}_host.exe" | awk '/DLL Name: kivgsm.dll/ {on = 1; next} on && /DLL Name/ {on = 0}
      on && $NF ~ /^Kiv/ {print $NF}' | sort > "$work/$host.imports"
    printf '%s\n' KivGSMSoundRecorderStart KivGSMSoundRecorderStop KivGSMWAVSoundRecorderStart \
      KivGSMWAVSoundRecorderStop KivWave2GSM610 | diff - "$work/$host.imports"
    if [ "$mode" = link-hosts ]; then echo "$host host: links, imports the five undecorated names"; continue; fi
    (cd "$work/run" && "$runner" "$bin/${host}_host.exe")
    cmp "$work/run/$host.wav" "$work/linux.wav"
    echo "linked against $([ $host = msvc ] && echo kivgsm.lib by lld-link || echo libkivgsm.dll.a by ld):" \
         "the five entry points answer as documented; output identical to the Linux tool's"
  done
  ;;
find-package)
  # A CMake project (the consumer the Linux install test builds) finds the
  # unpacked zip with find_package, is cross-built, and converts under Wine.
  # (kivgsm_DIR, as the cross toolchain confines package searches to its
  # own root; on Windows CMAKE_PREFIX_PATH names the folder.)
  speech=$1 consumer=$2 toolchain=$3
  cmake -S "$consumer" -B "$work/consumer" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -Dkivgsm_DIR="$root/lib/cmake/kivgsm" >/dev/null
  cmake --build "$work/consumer" >/dev/null
  imports "$work/consumer/consumer.exe" | grep -qix kivgsm.dll
  mkdir "$work/run"
  cp "$speech" "$work/run/speech.raw"
  cp "$bin/kivgsm.dll" "$work/consumer/consumer.exe" "$work/run/"
  (cd "$work/run" && "$runner" consumer.exe speech.raw found.wav >/dev/null)
  "$kivgsm" convert "$work/run/speech.raw" "$work/linux.wav" >/dev/null
  cmp "$work/run/found.wav" "$work/linux.wav"
  echo "find_package(kivgsm) on the unpacked zip: the consumer links and converts as Linux does"
  ;;
*)
  echo "unknown mode $mode" >&2
  exit 2
  ;;
esac
