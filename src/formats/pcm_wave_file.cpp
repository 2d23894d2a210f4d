#include "formats/pcm_wave_file.h"

#include <cstring>

#include "formats/little_endian.h"

namespace kiv {

void FillPcmWaveHeader(PcmWaveHeader* header, std::uint32_t dataBytes) {
  unsigned char* p = header->bytes;
  std::memcpy(p + 0, "RIFF", 4);
  PutLe32(p + 4, dataBytes + 36);
  std::memcpy(p + 8, "WAVE", 4);
  std::memcpy(p + 12, "fmt ", 4);
  PutLe32(p + 16, 16);     // format chunk size
  PutLe16(p + 20, 1);      // PCM
  PutLe16(p + 22, 1);      // mono
  PutLe32(p + 24, 8000);   // samples per second
  PutLe32(p + 28, 16000);  // bytes per second
  PutLe16(p + 32, 2);      // block alignment
  PutLe16(p + 34, 16);     // bits per sample
  std::memcpy(p + 36, "data", 4);
  PutLe32(p + 40, dataBytes);
}

}  // namespace kiv
