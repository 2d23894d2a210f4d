#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the fuzz targets with clang and libFuzzer, and runs each for a
# bounded time (default 60 s) from the committed seed corpus, printing the
# executions and the coverage reached. A crash fails the script and leaves
# the input in build-fuzz/artifacts/.
#
#   bash scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DKIV_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz
mkdir -p build-fuzz/artifacts
for target in wave_info wave_repair input_signature chained_streams; do
  work="build-fuzz/corpus-$target"
  mkdir -p "$work"
  log="build-fuzz/$target.log"
  if ! "./build-fuzz/fuzz/${target}_fuzz" -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix=build-fuzz/artifacts/ "$work" fuzz/corpus >"$log" 2>&1; then
    tail -n 40 "$log"
    echo "fuzz: $target found a failing input (build-fuzz/artifacts/)" >&2
    exit 1
  fi
  execs=$(awk '/stat::number_of_executed_units/ {print $NF}' "$log")
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1)
  echo "fuzz: $target: $execs executions in $seconds s, $cov edges"
done
