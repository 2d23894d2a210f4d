#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Cross-compiles libgsm for Windows from Debian's own source package, with
# the defines Debian uses on amd64 and i386 (-DSASR -DWAV49 -DUSE_FLOAT_MUL;
# FAST and LTP_CUT off), into PREFIX/include/gsm.h and PREFIX/lib/libgsm.a.
#
#   [KIV_MINGW_HOST=i686-w64-mingw32] scripts/build-libgsm-mingw.sh PREFIX
#
# KIV_MINGW_HOST names the mingw-w64 target: x86_64-w64-mingw32 (the
# default) or i686-w64-mingw32.
# The source comes through scripts/fetch-debian-source.sh (a private apt
# configuration; the machine's own is never edited). Nothing of libgsm is
# kept in the repository.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
prefix=$(mkdir -p "$1" && cd "$1" && pwd)
[ -f "$prefix/lib/libgsm.a" ] && [ -f "$prefix/include/gsm.h" ] && exit 0
host=${KIV_MINGW_HOST:-x86_64-w64-mingw32}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

bash "$here/fetch-debian-source.sh" "$work" libgsm >/dev/null
cd "$work/libgsm"
make -s CC="$host-gcc-posix" AR="$host-ar" RANLIB="$host-ranlib" \
  CCFLAGS="-c -O2 -DNeedFunctionPrototypes=1 -DSASR -DWAV49 -DUSE_FLOAT_MUL -I./inc" \
  lib/libgsm.a
mkdir -p "$prefix/lib" "$prefix/include"
cp lib/libgsm.a "$prefix/lib/"
cp inc/gsm.h "$prefix/include/"
echo "libgsm for Windows ($host) in $prefix"
