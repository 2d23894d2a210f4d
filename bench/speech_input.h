// SPDX-License-Identifier: MIT
// Long speech inputs for benchmarks: the bundled sample repeated.
#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace kiv::bench {

inline std::vector<std::int16_t> RepeatedSpeech(double seconds) {
  std::ifstream in(KIV_SPEECH_SAMPLE, std::ios::binary);
  std::vector<char> raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::int16_t> one(raw.size() / 2);
  for (std::size_t i = 0; i < one.size(); ++i)
    one[i] = static_cast<std::int16_t>(static_cast<unsigned char>(raw[2 * i]) | (raw[2 * i + 1] << 8));
  std::size_t want = static_cast<std::size_t>(seconds * 8000);
  std::vector<std::int16_t> out;
  out.reserve(want);
  while (out.size() < want) out.insert(out.end(), one.begin(), one.begin() + std::min(one.size(), want - out.size()));
  return out;
}

}  // namespace kiv::bench
