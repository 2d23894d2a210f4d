// Fuzz target for the WAVE header reader of `kivgsm info`. Builds as a
// libFuzzer target with clang (-fsanitize=fuzzer), or with the standalone
// driver beside it for replay and random rounds under any compiler.
#include <cstddef>
#include <cstdint>

#include "wave_info.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kiv::tool::WaveInfo w = kiv::tool::InspectWave(data, size);
  std::string text = kiv::tool::FormatWaveInfo(w);
  if (text.empty()) __builtin_trap();
  if (w.data_present > size) __builtin_trap();  // more payload than bytes
  return 0;
}
