#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Python package from the source tree, against the built library, with
# the first python3 that has pytest (Debian's python3-pytest is for
# /usr/bin/python3, which another python3 may shadow on PATH).
#
#   run.sh LIBRARY [PYTEST ARGS...]
set -euo pipefail
lib=$1
shift
here=$(cd "$(dirname "$0")" && pwd)
for python in python3 /usr/bin/python3; do
  if command -v "$python" >/dev/null && "$python" -c "import pytest" 2>/dev/null; then
    export KIVGSM_LIBRARY="$lib" PYTHONDONTWRITEBYTECODE=1
    exec "$python" -m pytest -q -p no:cacheprovider --rootdir="$here" "$here" "$@"
  fi
done
echo "skipped: no python3 with pytest (scripts/install-packages.sh installs python3-pytest)"
exit 77
