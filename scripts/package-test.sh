#!/usr/bin/env bash
# Builds the Debian packages, installs them as a user would (apt-get install
# ./*.deb), uses the installed tool and library, then purges them and shows
# that nothing is left behind. Needs root (or sudo) and Debian 12.
#
#   scripts/package-test.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
build=${1:-build-pkg}
run() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
packages="kivgsm libkivgsm-dev libkivgsm1"
work=$(mktemp -d)
installed=0
cleanup() {
  if [ "$installed" = 1 ]; then run env DEBIAN_FRONTEND=noninteractive apt-get purge -y $packages >/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DKIV_BUILD_TESTS=OFF -DKIV_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build"
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB >/dev/null)
ls "$build"/*.deb

if dpkg -s libkivgsm1 >/dev/null 2>&1; then
  echo "kivgsm packages are installed already; purge them first" >&2
  exit 1
fi
before=$(find /usr /etc -xdev 2>/dev/null | LC_ALL=C sort)
installed=1
run env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$PWD/$build"/*.deb >/dev/null

# The installed tool: convert the sample, decode it, compare with the build.
/usr/bin/kivgsm --version
/usr/bin/kivgsm convert data/speech_8k.raw "$work/speech.wav"
/usr/bin/kivgsm decode "$work/speech.wav" "$work/speech-pcm.wav"
"$build/tools/kivgsm" convert data/speech_8k.raw "$work/built.wav" >/dev/null
cmp "$work/speech.wav" "$work/built.wav"
/usr/bin/kivgsm info --json "$work/speech-pcm.wav" > "$work/info.json"
grep -q '"kind": "pcm"' "$work/info.json"

# The C consumer, against the installed files only: find_package and pkg-config.
cmake -S tests/consumer -B "$work/consumer" -G Ninja >/dev/null
cmake --build "$work/consumer" >/dev/null
"$work/consumer/consumer" data/speech_8k.raw "$work/find-package.wav" >/dev/null
cc tests/consumer/consumer.c -o "$work/pc-consumer" $(pkg-config --cflags --libs kivgsm)
"$work/pc-consumer" data/speech_8k.raw "$work/pkg-config.wav" >/dev/null
cmp "$work/find-package.wav" "$work/speech.wav"
cmp "$work/pkg-config.wav" "$work/speech.wav"
ldd "$work/pc-consumer" > "$work/ldd.txt"
grep -q "libkivgsm.so.1 => .*lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/libkivgsm.so.1" "$work/ldd.txt"

run env DEBIAN_FRONTEND=noninteractive apt-get purge -y $packages >/dev/null
installed=0
after=$(find /usr /etc -xdev 2>/dev/null | LC_ALL=C sort)
left=$(comm -13 <(echo "$before") <(echo "$after") | grep -v '^/usr/lib/python3' || true)
if [ -n "$left" ]; then
  echo "left behind after purge:" >&2
  echo "$left" >&2
  exit 1
fi
for p in $packages; do
  if dpkg -s "$p" >/dev/null 2>&1; then echo "$p is still installed" >&2; exit 1; fi
done
echo "packages install, work, and purge cleanly"
