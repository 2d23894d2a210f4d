#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# scripts/install-packages.sh, run against stand-ins for apt-get, dpkg and
# sudo that record their calls and touch nothing:
#   install_packages_test.sh SOURCE_DIR
set -euo pipefail
script=$1/scripts/install-packages.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
cat >"$work/bin/apt-get" <<'STANDIN'
#!/usr/bin/env bash
echo "apt-get $*" >>"$CALLS"
case " $* " in
  *" update "*)
    if [ -n "${FAIL_UPDATE:-}" ]; then
      echo "E: Failed to fetch $FAIL_UPDATE  File has unexpected size (359552 != 360800). Mirror sync in progress?"
      echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
      exit 100
    fi ;;
  *" install "*)
    if [ -n "${FAIL_PACKAGE:-}" ] && [[ " $* " == *" $FAIL_PACKAGE "* ]]; then
      echo "E: Package '$FAIL_PACKAGE' has no installation candidate" >&2
      exit 100
    fi ;;
esac
STANDIN
cat >"$work/bin/dpkg" <<'STANDIN'
#!/usr/bin/env bash
echo "dpkg $*" >>"$CALLS"
STANDIN
printf '#!/bin/sh\nexec "$@"\n' >"$work/bin/sudo"
chmod +x "$work/bin/"*

failures=0
# run NAME EXPECTED_STATUS [ENV=VALUE...] -- ARGS...: runs the script, leaves
# its calls in $work/NAME.calls and its stderr in $work/NAME.err.
run() {
  local name=$1 expected=$2 status=0
  shift 2
  local env=()
  while [ "$1" != -- ]; do env+=("$1"); shift; done
  shift
  : >"$work/$name.calls"
  env PATH="$work/bin:$PATH" CALLS="$work/$name.calls" "${env[@]}" bash "$script" "$@" \
    >"$work/$name.out" 2>"$work/$name.err" || status=$?
  if [ "$status" -ne "$expected" ]; then
    echo "FAIL $name: exit $status, expected $expected"; cat "$work/$name.err"; failures=$((failures + 1))
  fi
}
check() {  # check NAME DESCRIPTION COMMAND...
  local name=$1 what=$2
  shift 2
  if "$@"; then echo "ok   $name: $what"; else echo "FAIL $name: $what"; failures=$((failures + 1)); fi
}

run default 0 --
check default "installs the tool's build set" grep -q 'install -y --no-install-recommends cmake .*libgsm1-dev .*libsoxr-dev libmpg123-dev' "$work/default.calls"
check default "names no test, cross or packaging tool" \
  bash -c "! grep '^apt-get .*install' '$work/default.calls' | grep -Eq 'gtest|gmock|benchmark|pulseaudio|sox |ffmpeg|pytest|mono|clang|mingw|wine|qemu|aarch64|gnueabihf|:arm|debhelper|lintian|dpkg-dev'"
check default "adds no architecture" bash -c "! grep -q 'add-architecture' '$work/default.calls'"
check default "says in one line what it installs" grep -q '^install-packages.sh: installing the default set, 13 packages: cmake' "$work/default.out"

run all 0 -- --all
check all "adds arm64, armhf and i386 before the update" diff <(grep -v print-foreign "$work/all.calls" | head -n 4) \
  <(printf '%s\n' 'dpkg --add-architecture arm64' 'dpkg --add-architecture armhf' 'dpkg --add-architecture i386' \
                   'apt-get -o Acquire::Retries=3 update')
check all "installs the cross, Windows and target packages" bash -c \
  "grep 'install -y' '$work/all.calls' | grep -q 'g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix.*qemu-user.*libgsm1-dev:arm64.*libsoxr-dev:armhf.*wine32:i386'"
# Two architectures of one package need one version: from the release
# itself, and apt may not remove anything to get there.
check all "takes the release's versions and removes nothing" grep -q '^apt-get install -y --no-install-recommends -t bookworm --no-remove ' "$work/all.calls"
check default "keeps the usual candidates" bash -c "! grep -q -- '-t bookworm' '$work/default.calls'"

run update-fails 0 FAIL_UPDATE=http://deb.example/debian-security/dists/bookworm-security/main/binary-armhf/Packages.xz -- --all
check update-fails "still installs" grep -q 'install -y' "$work/update-fails.calls"
check update-fails "warns, naming the index" grep -q 'warning.*failed for:' "$work/update-fails.err"
check update-fails "names the index" grep -q 'binary-armhf/Packages.xz' "$work/update-fails.err"

run install-fails 1 FAIL_PACKAGE=libsoxr-dev --
check install-fails "names the package that cannot be installed" grep -qx 'install-packages.sh: cannot install: libsoxr-dev' "$work/install-fails.err"

run usage 64 -- --everything

if [ "$failures" -ne 0 ]; then echo "$failures failed"; exit 1; fi
echo "install-packages.sh: every case held"
