#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Fetches Debian source packages and unpacks each into DIR/PACKAGE (its
# Debian patches applied), for the scripts that cross-build them.
#
#   scripts/fetch-debian-source.sh DIR PACKAGE...
#
# The sources come through a private apt configuration (APT_CONFIG) whose
# only entries are the machine's own Debian mirrors and suites as deb-src,
# so the machine's apt setup is never edited. Nothing fetched is kept in
# the repository.
set -euo pipefail
if [ $# -lt 2 ]; then
  echo "usage: $0 DIR PACKAGE..." >&2
  exit 2
fi
dest=$(mkdir -p "$1" && cd "$1" && pwd)
shift
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# deb-src entries for the mirrors and suites the machine already uses.
mkdir -p "$work/apt/lists/partial" "$work/apt/archives/partial" "$work/get"
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

for package in "$@"; do
  rm -rf "$dest/$package" "$work/get"/*
  (cd "$work/get" && apt-get source -qq --download-only "$package" >/dev/null)
  dsc=$(cd "$work/get" && ls *.dsc)
  (cd "$work/get" && dpkg-source -x --no-check "$dsc" tree >/dev/null)
  mv "$work/get/tree" "$dest/$package"
  echo "${dsc%.dsc} in $dest/$package"
done
