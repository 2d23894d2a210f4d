#!/usr/bin/env bash
# Installs the packages, builds kivgsm, converts the bundled speech sample to
# a GSM WAVE file (speech.wav) and shows its header.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-packages.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build build
./build/tools/kivgsm convert data/speech_8k.raw speech.wav
./build/tools/kivgsm info speech.wav
