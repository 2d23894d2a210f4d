#!/usr/bin/env bash
# Installs the built tree into a scratch prefix, then builds and runs a
# consumer against it twice: through find_package and through pkg-config.
set -euo pipefail
build=$1 source=$2 sample=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
cmake -S "$source" -B "$work/cmake-build" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
pcdir=$(find "$work/prefix" -name kivgsm.pc -printf '%h\n')
libdir=$(dirname "$pcdir")
LD_LIBRARY_PATH="$libdir" "$work/cmake-build/consumer" "$sample" "$work/a.wav"
export PKG_CONFIG_PATH="$pcdir"
test "$(pkg-config --variable=libdir kivgsm)" -ef "$libdir"
cc "$source/consumer.c" -o "$work/pc-consumer" $(pkg-config --cflags --libs kivgsm)
LD_LIBRARY_PATH="$libdir" "$work/pc-consumer" "$sample" "$work/b.wav"
cmp "$work/a.wav" "$work/b.wav"
test "$(stat -c %s "$work/a.wav")" -gt 60
echo "consumer ok"
