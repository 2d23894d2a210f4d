// SPDX-License-Identifier: MIT
#include "formats/gsm_wave_file.h"

#include "formats/little_endian.h"

namespace kiv {
namespace {

bool WriteBytes(FileStream* file, const void* bytes, std::size_t n) {
  return StreamWrite(file, bytes, 1, n) == n;
}
bool WriteU16(FileStream* file, std::uint16_t v) {
  unsigned char b[2];
  PutLe16(b, v);
  return WriteBytes(file, b, 2);
}
bool WriteU32(FileStream* file, std::uint32_t v) {
  unsigned char b[4];
  PutLe32(b, v);
  return WriteBytes(file, b, 4);
}

}  // namespace

bool WriteGsmWaveHeader(FileStream* file, std::uint32_t riffSize, std::uint32_t sampleCount,
                        std::uint32_t dataSize) {
  // Stops at the first field that fails: a write that did not go through
  // leaves the position where it was, and the fields after it would land
  // at the wrong offsets.
  return WriteBytes(file, "RIFF", 4) && WriteU32(file, riffSize) && WriteBytes(file, "WAVEfmt ", 8) &&
         WriteU32(file, kGsmFormatChunkBytes) && WriteU16(file, kWaveFormatGsm610) && WriteU16(file, kChannels) &&
         WriteU32(file, kSampleRate) && WriteU32(file, kGsmBytesPerSecond) &&
         WriteU32(file, kGsmBlockBytes) &&  // block alignment 65, then bits per sample 0
         WriteU16(file, kGsmExtraFormatBytes) && WriteU16(file, kGsmSamplesPerBlock) && WriteBytes(file, "fact", 4) &&
         WriteU32(file, kGsmFactChunkBytes) && WriteU32(file, sampleCount) && WriteBytes(file, "data", 4) &&
         WriteU32(file, dataSize);
}

bool FinishGsmWaveFile(FileStream* file, std::uint32_t blockCount, std::uint32_t* sizeValue,
                       std::uint32_t* sampleCount) {
  // The header is rewritten only where it is known to be: a length that
  // cannot be learnt, or a seek that fails, leaves the provisional one.
  if (!StreamSeek(file, 0, SeekOrigin::kEnd)) return false;
  const std::int64_t length = StreamTell(file);
  if (length < kGsmHeaderBytes || !StreamSeek(file, 0, SeekOrigin::kStart)) return false;
  const std::uint32_t len32 = static_cast<std::uint32_t>(length);
  const std::uint32_t samples = blockCount * kGsmSamplesPerBlock;
  if (!WriteGsmWaveHeader(file, len32 - kRiffChunkHeaderBytes, samples, len32 - kGsmHeaderBytes)) return false;
  *sampleCount = samples;
  *sizeValue = len32 - kGsmHeaderBytes;
  return true;
}

bool TrimGsmWaveFile(FileStream* file, std::uint32_t* blockCount) {
  if (!StreamSeek(file, 0, SeekOrigin::kEnd)) return false;
  std::int64_t length = StreamTell(file);
  if (length < 0) return false;
  std::int64_t whole = length >= kGsmHeaderBytes ? (length - kGsmHeaderBytes) / kGsmBlockBytes : 0;
  if (whole > *blockCount) whole = *blockCount;
  *blockCount = static_cast<std::uint32_t>(whole);
  if (length < kGsmHeaderBytes) {
    // Not even the header arrived: start the file again with a whole one.
    return StreamTruncate(file, 0) && StreamSeek(file, 0, SeekOrigin::kStart) &&
           WriteGsmWaveHeader(file, kPlaceholderSizeValue, kPlaceholderSampleCount, kPlaceholderSizeValue);
  }
  std::int64_t keep = kGsmHeaderBytes + whole * kGsmBlockBytes;
  return length == keep || StreamTruncate(file, keep);
}

}  // namespace kiv
