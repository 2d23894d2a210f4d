// SPDX-License-Identifier: MIT
// The PCM WAVE file: a canonical 44-byte RIFF/WAVE header (format tag 1,
// 8000 Hz, mono, 16 bits) followed by the raw samples.
#pragma once

#include <cstdint>

#include "wave_format.h"

namespace kiv {

struct PcmWaveHeader {
  unsigned char bytes[kPcmHeaderBytes];
};

// Stores the header for `dataBytes` bytes of audio: data size = dataBytes,
// RIFF size = dataBytes + 36, exact in integer arithmetic.
void FillPcmWaveHeader(PcmWaveHeader* header, std::uint32_t dataBytes);

}  // namespace kiv
