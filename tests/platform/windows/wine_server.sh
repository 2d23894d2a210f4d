#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# One persistent wineserver for the cross-built tests: without it Wine's
# helper processes hold CTest's output pipe open and every test costs
# seconds instead of milliseconds.
#
#   wine_server.sh start|stop RUNNER   (RUNNER: the build's wine-run.sh)
set -euo pipefail
runner=$2
prefix=$(sed -n 's/^export WINEPREFIX="\(.*\)"$/\1/p' "$runner")
export WINEPREFIX="$prefix" WINEDEBUG=-all
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
case "$1" in
start)
  # Nothing of Wine's may keep this script's output open: CTest would wait.
  # A new prefix is created first (a few seconds); the wineserver that did
  # it is let go before the persistent one starts.
  if [ ! -f "$prefix/system.reg" ]; then
    "$runner" cmd /c exit </dev/null >/dev/null 2>&1
    "$wineserver" -w </dev/null >/dev/null 2>&1 || true
  fi
  "$wineserver" -p </dev/null >/dev/null 2>&1 || true
  "$runner" cmd /c exit </dev/null >/dev/null 2>&1
  ;;
stop)
  "$wineserver" -k </dev/null >/dev/null 2>&1 || true
  ;;
esac
