// Fuzz target for the WAVE header reader of `kivgsm info`. Builds as a
// libFuzzer target with clang (-fsanitize=fuzzer), or with the standalone
// driver beside it for replay and random rounds under any compiler.
#include <cstddef>
#include <cstdint>

#include "wave_info.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The file may be longer than the prefix handed over, or exactly as long.
  for (std::uint64_t extra : {std::uint64_t{0}, std::uint64_t{1} << 20}) {
    kiv::tool::WaveInfo w = kiv::tool::InspectWave(data, size, size + extra);
    std::string text = kiv::tool::FormatWaveInfo(w);
    if (text.empty()) __builtin_trap();
  }
  return 0;
}
