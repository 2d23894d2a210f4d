// SPDX-License-Identifier: MIT
// An independent WAV49 encoding made by calling libgsm directly, frame by
// frame, to judge the library's own block encoder and converter against.
#pragma once

#include <gsm.h>

#include <cstdint>
#include <vector>

namespace kiv::test {

// Encodes the whole 320-sample blocks of `samples` on one fresh handle.
inline std::vector<unsigned char> ReferenceWav49(const std::vector<std::int16_t>& samples) {
  gsm g = gsm_create();
  int on = 1;
  gsm_option(g, GSM_OPT_WAV49, &on);
  std::size_t blocks = samples.size() / 320;
  std::vector<unsigned char> out(blocks * 65);
  std::vector<gsm_signal> frame(160);
  for (std::size_t f = 0; f < 2 * blocks; ++f) {
    for (int i = 0; i < 160; ++i) frame[i] = samples[f * 160 + i];
    // Even frames start a block; odd frames start 32 bytes into it.
    gsm_encode(g, frame.data(), out.data() + (f / 2) * 65 + (f % 2) * 32);
  }
  gsm_destroy(g);
  return out;
}

}  // namespace kiv::test
