// SPDX-License-Identifier: MIT
// Fuzz target for the WAVE header reader and what `kivgsm info` prints. Builds as a
// libFuzzer target with clang (-fsanitize=fuzzer), or with the standalone
// driver beside it for replay and random rounds under any compiler.
#include <cstddef>
#include <cstdint>

#include "wave_format.h"
#include "wave_report.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kiv::WaveInfo w = kiv::InspectWave(data, size);
  if (kiv::tool::FormatWaveInfo(w).empty() || kiv::tool::FormatWaveInfoJson(w).empty()) __builtin_trap();
  if (w.data_present > size) __builtin_trap();  // more payload than bytes
  // Whole frames never exceed the payload, and a decoder never gets more
  // samples than the blocks present hold.
  if (w.frames * w.frame_bytes > w.data_present) __builtin_trap();
  if (w.kind == kiv::WaveKind::kGsm && kiv::GsmSamplesToDecode(w) > w.frames * kiv::kGsmSamplesPerBlock) __builtin_trap();
  return 0;
}
