#!/usr/bin/env bash
# Cross-compiles libgsm for Windows x86-64 from Debian's own source package,
# with the defines Debian uses on amd64 (-DSASR -DWAV49 -DUSE_FLOAT_MUL;
# FAST and LTP_CUT off), into PREFIX/include/gsm.h and PREFIX/lib/libgsm.a.
#
#   scripts/build-libgsm-mingw.sh PREFIX
#
# The source comes through a private apt configuration (APT_CONFIG) whose
# only sources are the machine's own Debian mirrors as deb-src, so the
# machine's apt setup is never edited. Nothing of libgsm is kept in the
# repository.
set -euo pipefail
prefix=$(mkdir -p "$1" && cd "$1" && pwd)
[ -f "$prefix/lib/libgsm.a" ] && [ -f "$prefix/include/gsm.h" ] && exit 0
cc=${MINGW_CC:-x86_64-w64-mingw32-gcc-posix}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# deb-src entries for the mirrors and suites the machine already uses.
mkdir -p "$work/apt/lists/partial" "$work/apt/archives/partial"
{
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    sed -n 's/^Types: deb$/Types: deb-src/; /^Types:/,/^$/p' "$f" | grep -v '^#'
    echo
  done
} > "$work/apt/src.sources"
if ! grep -q 'debian' "$work/apt/src.sources" 2>/dev/null; then
  grep -h '^deb ' /etc/apt/sources.list 2>/dev/null | sed 's/^deb /deb-src /' > "$work/apt/src.list" || true
fi
cat > "$work/apt/apt.conf" <<CONF
Dir::Etc::SourceList "/dev/null";
Dir::Etc::SourceParts "$work/apt";
Dir::State::Lists "$work/apt/lists";
Dir::Cache::Archives "$work/apt/archives";
APT::Sandbox::User "root";
CONF
export APT_CONFIG="$work/apt/apt.conf"
apt-get update -qq >/dev/null
(cd "$work" && apt-get source -qq --download-only libgsm >/dev/null && dpkg-source -x --no-check libgsm_*.dsc src >/dev/null)

cd "$work/src"
make -s CC="$cc" AR=x86_64-w64-mingw32-ar RANLIB=x86_64-w64-mingw32-ranlib \
  CCFLAGS="-c -O2 -DNeedFunctionPrototypes=1 -DSASR -DWAV49 -DUSE_FLOAT_MUL -I./inc" \
  lib/libgsm.a
mkdir -p "$prefix/lib" "$prefix/include"
cp lib/libgsm.a "$prefix/lib/"
cp inc/gsm.h "$prefix/include/"
echo "libgsm for Windows in $prefix"
