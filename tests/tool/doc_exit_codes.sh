#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The tool's reference page holds the table of exit codes that
# `kivgsm --help` prints.
#   doc_exit_codes.sh KIVGSM doc/tool.md
set -euo pipefail
tool=$1 page=$2
diff <("$tool" --help | sed -n '/^exit codes:/,$p' | sed '/^$/d') \
     <(sed -n '/^    exit codes:$/,/^$/p' "$page" | sed 's/^    //; /^$/d')
echo "$page's exit codes are the tool's"
