// SPDX-License-Identifier: MIT
#include "formats/pcm_wave_file.h"

#include <cstring>

#include "formats/little_endian.h"

namespace kiv {

void FillPcmWaveHeader(PcmWaveHeader* header, std::uint32_t dataBytes) {
  unsigned char* p = header->bytes;
  std::memcpy(p + 0, "RIFF", 4);
  PutLe32(p + 4, dataBytes + kPcmRiffOverhead);
  std::memcpy(p + 8, "WAVE", 4);
  std::memcpy(p + 12, "fmt ", 4);
  PutLe32(p + 16, kPcmFormatChunkBytes);
  PutLe16(p + 20, kWaveFormatPcm);
  PutLe16(p + 22, kChannels);
  PutLe32(p + 24, kSampleRate);
  PutLe32(p + 28, kPcmBytesPerSecond);
  PutLe16(p + 32, kChannels * kBytesPerSample);  // block alignment
  PutLe16(p + 34, kBitsPerSample);
  std::memcpy(p + 36, "data", 4);
  PutLe32(p + 40, dataBytes);
}

}  // namespace kiv
