#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The README's table of exit codes is the one `kivgsm --help` prints.
#   readme_exit_codes.sh KIVGSM README.md
set -euo pipefail
tool=$1 readme=$2
diff <("$tool" --help | sed -n '/^exit codes:/,$p' | sed '/^$/d') \
     <(sed -n '/^    exit codes:$/,/^$/p' "$readme" | sed 's/^    //; /^$/d')
echo "the README's exit codes are the tool's"
