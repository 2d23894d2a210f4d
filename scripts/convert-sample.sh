#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the packages, builds the library and the tool (nothing else: no
# tests, no benchmarks), converts the bundled speech sample to a GSM WAVE
# file (speech.wav) and shows its header. The build folder, build-sample,
# is its own, so that the test build in build/ is left as it was.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-packages.sh
cmake -S . -B build-sample -G Ninja -DCMAKE_BUILD_TYPE=Release -DKIV_BUILD_TESTS=OFF -DKIV_BUILD_BENCHMARKS=OFF
cmake --build build-sample --target kivgsm_tool
./build-sample/tools/kivgsm convert data/speech_8k.raw speech.wav
./build-sample/tools/kivgsm info speech.wav
