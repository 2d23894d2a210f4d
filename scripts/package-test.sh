#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian packages (debian/, dpkg-buildpackage) from a scratch copy
# of the tree, checks them with lintian (no error and no warning), installs
# them as a user would (apt-get install ./*.deb), uses the installed tool,
# manual pages, bash completion and library (pkg-config and CMake
# consumers), then purges them and shows that nothing is left behind. kivgsm
# packages installed before (by the README's package line, say) are purged
# first. Needs root (or sudo) and Debian 12.
#
#   scripts/package-test.sh [OUT_DIR]
#
# OUT_DIR (default build-pkg) receives the .deb, .changes and .buildinfo
# files, the build log and lintian's reports (lintian.txt, and
# lintian-pedantic.txt with the pedantic and informational tags too).
# DEB_BUILD_OPTIONS is passed on (default: parallel=<cores>).
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-build-pkg}
mkdir -p "$out"
out=$(cd "$out" && pwd)
run() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
apt_get() { run env DEBIAN_FRONTEND=noninteractive apt-get "$@"; }
packages="kivgsm libkivgsm-dev libkivgsm1 kivgsm-dbgsym libkivgsm1-dbgsym python3-kivgsm"
version=$(dpkg-parsechangelog -S Version)
arch=$(dpkg --print-architecture)
# Those of $packages that dpkg knows as installed or with configuration
# files left.
present() {
  local p
  for p in $packages; do
    if dpkg-query -W -f='${db:Status-Abbrev}' "$p" 2>/dev/null | grep -q '^[a-z][^n]'; then echo "$p"; fi
  done
}
purge() {
  local p
  p=$(present)
  if [ -n "$p" ]; then apt_get purge -y $p >/dev/null; fi
}
work=$(mktemp -d)
installed=0
cleanup() {
  if [ "$installed" = 1 ]; then purge || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# A copy of the tree as it stands (tracked and new files, edits included;
# no build folders), so that the package build never touches the working
# tree; dpkg-buildpackage writes its results beside the copy.
mkdir "$work/src"
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' f; do if [ -e "$f" ] || [ -L "$f" ]; then printf '%s\0' "$f"; fi; done |
    tar --null -T - -cf - | tar -xf - -C "$work/src"
else
  tar --exclude=./.git --exclude='./build*' --exclude='./obj-*' -cf - . | tar -xf - -C "$work/src"
fi
echo "building the packages (log: $out/build.log)"
# Debian's own tools only: a python3 of another install earlier on PATH
# (pyenv's, say) would build the Python package with the wrong interpreter.
if ! (cd "$work/src" && PATH=/usr/sbin:/usr/bin:/sbin:/bin DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:-parallel=$(nproc)}" \
      dpkg-buildpackage -us -uc -b) >"$out/build.log" 2>&1; then
  tail -n 40 "$out/build.log" >&2
  echo "dpkg-buildpackage failed" >&2
  exit 1
fi
rm -f "$out"/*.deb "$out"/*.changes "$out"/*.buildinfo
cp "$work"/*.deb "$work"/*.changes "$work"/*.buildinfo "$out"/
(cd "$out" && ls ./*.deb ./*.changes)
debs=("$out/libkivgsm1_${version}_$arch.deb" "$out/libkivgsm-dev_${version}_$arch.deb" "$out/kivgsm_${version}_$arch.deb"
      "$out/python3-kivgsm_${version}_all.deb")
ls "${debs[@]}" "$out/libkivgsm1-dbgsym_${version}_$arch.deb" "$out/kivgsm-dbgsym_${version}_$arch.deb" >/dev/null

# lintian: no error and no warning; the pedantic and informational tags
# are kept for reading.
changes="$out/kivgsm_${version}_$arch.changes"
if ! lintian --fail-on error,warning "$changes" >"$out/lintian.txt" 2>&1; then
  cat "$out/lintian.txt" >&2
  echo "lintian reports errors or warnings" >&2
  exit 1
fi
lintian --pedantic --display-info "$changes" >"$out/lintian-pedantic.txt" 2>&1 || true
echo "lintian: no errors or warnings ($(grep -c '^[IP]:' "$out/lintian-pedantic.txt" || true) pedantic or informational tags in lintian-pedantic.txt)"

# Installed before? Purge first, so that the install below is a first one
# and the comparison after purging is against a system without them.
if [ -n "$(present)" ]; then
  echo "purging the kivgsm packages installed before:" $(present)
  purge
fi
before=$(find /usr /etc -xdev 2>/dev/null | LC_ALL=C sort)
installed=1
apt_get install -y --no-install-recommends "${debs[@]}" >/dev/null

# The installed tool: convert the sample, decode it, compare with the
# package build's own tool.
built_tool="$work/src/obj-$(dpkg-architecture -qDEB_HOST_GNU_TYPE)/tools/kivgsm"
/usr/bin/kivgsm --version
/usr/bin/kivgsm convert data/speech_8k.raw "$work/speech.wav"
/usr/bin/kivgsm decode "$work/speech.wav" "$work/speech-pcm.wav"
"$built_tool" convert data/speech_8k.raw "$work/built.wav" >/dev/null
cmp "$work/speech.wav" "$work/built.wav"
/usr/bin/kivgsm info --json "$work/speech-pcm.wav" >"$work/info.json"
grep -q '"kind": "pcm"' "$work/info.json"

# The Python package, as its users call it, with Debian's python3.
mkdir "$work/py" && cp data/speech_8k.raw "$work/py/in.raw"
(cd "$work/py" && /usr/bin/python3 -c "import kivgsm; kivgsm.convert('in.raw', 'out.wav')")
cmp "$work/py/out.wav" "$work/speech.wav"

# Manual pages, for the tool and for the library and each entry point.
for page in "kivgsm" "3 kivgsm" "KivWave2GSM610" "KivGSMSoundRecorderStart" "KivGSMSoundRecorderStop" \
    "KivGSMWAVSoundRecorderStart" "KivGSMWAVSoundRecorderStop"; do
  # shellcheck disable=SC2086 # the section and the name are two words
  man -w $page
  # shellcheck disable=SC2086
  man --warnings $page 2>&1 >/dev/null | { if grep .; then echo "man $page warns" >&2; exit 1; fi; }
done
test "$(man -w kivgsm)" = /usr/share/man/man1/kivgsm.1.gz
test "$(man -w 3 kivgsm)" = /usr/share/man/man3/kivgsm.3.gz
# kivgsm(1) names every command, option and exit code that --help does.
page=$(zcat /usr/share/man/man1/kivgsm.1.gz)
help_codes=$(/usr/bin/kivgsm --help | sed -n 's/^  \([0-9][0-9]*\)  .*/\1/p' | tr '\n' ' ')
page_codes=$(sed -n '/^\.SH EXIT STATUS/,/^\.SH /s/^\.B \([0-9][0-9]*\)$/\1/p' <<<"$page" | tr '\n' ' ')
if [ "$help_codes" != "$page_codes" ]; then
  echo "kivgsm(1) gives the exit codes $page_codes; kivgsm --help gives $help_codes" >&2
  exit 1
fi
for command in $(/usr/bin/kivgsm --help | sed -n '/^Subcommands:/,/^$/s/^  \([a-z][a-z]*\) .*/\1/p'); do
  grep -q "^\.SS \"$command " <<<"$page" || { echo "kivgsm(1) lacks the command $command" >&2; exit 1; }
  for option in $(/usr/bin/kivgsm "$command" --help | grep -o -- '[ ,]-[-a-zA-Z0-9]*' | cut -c2- | sort -u); do
    grep -qF -- "${option//-/\\-}" <<<"$page" || { echo "kivgsm(1) lacks $command $option" >&2; exit 1; }
  done
done

# Bash completion, as bash-completion loads it on first use: the commands,
# and each command's long options as its --help gives them.
complete_words() {
  bash -c 'source /usr/share/bash-completion/bash_completion
    _completion_loader kivgsm
    COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
    _kivgsm kivgsm "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf "%s\n" "${COMPREPLY[@]}" | LC_ALL=C sort | tr "\n" " "' complete_words "$@"
}
commands=$(/usr/bin/kivgsm --help | sed -n '/^Subcommands:/,/^$/s/^  \([a-z][a-z]*\) .*/\1/p' | LC_ALL=C sort | tr '\n' ' ')
test "$(complete_words kivgsm '')" = "$commands"
for command in $commands; do
  options=$(/usr/bin/kivgsm "$command" --help | grep -o -- '[ ,]--[-a-z0-9]*' | cut -c2- | LC_ALL=C sort -u | tr '\n' ' ')
  if [ "$(complete_words kivgsm "$command" --)" != "$options" ]; then
    echo "completion of kivgsm $command --: $(complete_words kivgsm "$command" --); --help: $options" >&2
    exit 1
  fi
done

# The C consumer, against the installed files only: find_package and
# pkg-config, whose flags are exactly those of a system library.
test "$(pkg-config --modversion kivgsm)" = "$(sed -n 's/^project(kivgsm VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)"
libs=$(pkg-config --libs kivgsm) cflags=$(pkg-config --cflags kivgsm)
echo "pkg-config --libs kivgsm: '$libs'; --cflags: '$cflags'"
test "$(echo $libs)" = -lkivgsm
test -z "$(echo $cflags)"
cmake -S tests/consumer -B "$work/consumer" -G Ninja >/dev/null
cmake --build "$work/consumer" >/dev/null
"$work/consumer/consumer" data/speech_8k.raw "$work/find-package.wav" >/dev/null
cc -Wall -Wextra -Werror tests/consumer/consumer.c -o "$work/pc-consumer" $(pkg-config --cflags --libs kivgsm)
"$work/pc-consumer" data/speech_8k.raw "$work/pkg-config.wav" >/dev/null
cp data/speech_8k.raw "$work/Sprache-ü-日本-🎤.raw"
"$work/pc-consumer" "$work/Sprache-ü-日本-🎤.raw" "$work/Ausgabe-é-😀.wav" >/dev/null
cmp "$work/find-package.wav" "$work/speech.wav"
cmp "$work/pkg-config.wav" "$work/speech.wav"
cmp "$work/Ausgabe-é-😀.wav" "$work/speech.wav"
ldd "$work/pc-consumer" >"$work/ldd.txt"
grep -q "libkivgsm.so.1 => .*lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/libkivgsm.so.1" "$work/ldd.txt"

purge
installed=0
after=$(find /usr /etc -xdev 2>/dev/null | LC_ALL=C sort)
left=$(comm -13 <(echo "$before") <(echo "$after") | grep -v '^/usr/lib/python3' || true)
if [ -n "$left" ]; then
  echo "left behind after purge:" >&2
  echo "$left" >&2
  exit 1
fi
if [ -n "$(present)" ]; then
  echo "still installed:" $(present) >&2
  exit 1
fi
echo "packages build, pass lintian, install, work, and purge cleanly"
