#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the built tree into a scratch prefix, then builds and runs a
# consumer against it twice: through find_package and through pkg-config.
# The consumer takes its paths in UTF-8 and hands them to the library in
# UTF-16: names beyond ASCII (surrogate pairs included) must reach the file
# system intact, and malformed UTF-8 must be refused.
#
#   run.sh BUILD_DIR CONSUMER_SOURCE_DIR SAMPLE
set -euo pipefail
build=$1 source=$2 sample=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
# The installed tool runs from any prefix, with no library path set.
env -u LD_LIBRARY_PATH "$work/prefix/bin/kivgsm" --version >/dev/null
cmake -S "$source" -B "$work/cmake-build" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
pcdir=$(find "$work/prefix" -name kivgsm.pc -printf '%h\n')
libdir=$(dirname "$pcdir")
LD_LIBRARY_PATH="$libdir" "$work/cmake-build/consumer" "$sample" "$work/a.wav"
export PKG_CONFIG_PATH="$pcdir"
test "$(pkg-config --variable=libdir kivgsm)" -ef "$libdir"
test "$(pkg-config --variable=includedir kivgsm)" -ef "$work/prefix/include"
cc -Wall -Wextra -Werror "$source/consumer.c" -o "$work/pc-consumer" $(pkg-config --cflags --libs kivgsm)
LD_LIBRARY_PATH="$libdir" "$work/pc-consumer" "$sample" "$work/b.wav"
cmp "$work/a.wav" "$work/b.wav"
test "$(stat -c %s "$work/a.wav")" -gt 60

# The scratch prefix's .pc file is relative to where it lies: the tree can
# be moved.
mv "$work/prefix" "$work/moved"
test "$(PKG_CONFIG_PATH="$work/moved/${pcdir#"$work/prefix/"}" pkg-config --variable=libdir kivgsm)" \
  -ef "$work/moved/${libdir#"$work/prefix/"}"
mv "$work/moved" "$work/prefix"

# Names beyond ASCII, from and to: two-byte (é, ü), three-byte (日本) and
# four-byte (🎤, a surrogate pair in UTF-16) characters.
mkdir "$work/names"
in_name="$work/names/Sprache-é-日本-🎤.raw"
out_name="$work/names/Ausgabe-ü-語-😀.wav"
cp "$sample" "$in_name"
LD_LIBRARY_PATH="$libdir" "$work/pc-consumer" "$in_name" "$out_name"
cmp "$work/a.wav" "$out_name"

# Malformed UTF-8 is refused before the library is called, and nothing is
# written: a stray continuation byte, an overlong '/', an encoded surrogate,
# a code point past U+10FFFF, a sequence cut short.
for bad in $'\x80' $'\xc0\xaf' $'\xed\xa0\x80' $'\xf4\x90\x80\x80' $'\xe6\x97'; do
  if LD_LIBRARY_PATH="$libdir" "$work/pc-consumer" "$sample" "$work/names/bad-$bad.wav" >/dev/null 2>&1; then
    echo "malformed UTF-8 $(printf '%q' "$bad") was accepted" >&2
    exit 1
  fi
done
test "$(find "$work/names" -type f | wc -l)" -eq 2
echo "consumer ok"
