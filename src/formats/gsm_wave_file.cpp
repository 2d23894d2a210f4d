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
  bool ok = WriteBytes(file, "RIFF", 4);
  ok &= WriteU32(file, riffSize);
  ok &= WriteBytes(file, "WAVEfmt ", 8);
  ok &= WriteU32(file, kGsmFormatChunkBytes);
  ok &= WriteU16(file, kWaveFormatGsm610);
  ok &= WriteU16(file, kChannels);
  ok &= WriteU32(file, kSampleRate);
  ok &= WriteU32(file, kGsmBytesPerSecond);
  ok &= WriteU32(file, kGsmBlockBytes);  // block alignment 65, then bits per sample 0
  ok &= WriteU16(file, kGsmExtraFormatBytes);
  ok &= WriteU16(file, kGsmSamplesPerBlock);
  ok &= WriteBytes(file, "fact", 4);
  ok &= WriteU32(file, kGsmFactChunkBytes);
  ok &= WriteU32(file, sampleCount);
  ok &= WriteBytes(file, "data", 4);
  ok &= WriteU32(file, dataSize);
  return ok;
}

bool FinishGsmWaveFile(FileStream* file, std::uint32_t blockCount, std::uint32_t* sizeValue,
                       std::uint32_t* sampleCount) {
  bool ok = StreamSeek(file, 0, SeekOrigin::kEnd);
  std::int64_t length = StreamTell(file);
  if (length < 0) {
    ok = false;
    length = 0;
  }
  std::uint32_t len32 = static_cast<std::uint32_t>(length);
  *sampleCount = blockCount * kGsmSamplesPerBlock;
  ok &= StreamSeek(file, 0, SeekOrigin::kStart);
  ok &= WriteGsmWaveHeader(file, len32 - kRiffChunkHeaderBytes, *sampleCount, len32 - kGsmHeaderBytes);
  *sizeValue = len32 - kGsmHeaderBytes;
  return ok;
}

void TrimGsmWaveFile(FileStream* file, std::uint32_t* blockCount) {
  StreamSeek(file, 0, SeekOrigin::kEnd);
  std::int64_t length = StreamTell(file);
  std::int64_t whole = length >= kGsmHeaderBytes ? (length - kGsmHeaderBytes) / kGsmBlockBytes : 0;
  if (whole > *blockCount) whole = *blockCount;
  *blockCount = static_cast<std::uint32_t>(whole);
  if (length < kGsmHeaderBytes) {
    // Not even the header arrived: start the file again with a whole one.
    StreamTruncate(file, 0);
    StreamSeek(file, 0, SeekOrigin::kStart);
    WriteGsmWaveHeader(file, kPlaceholderSizeValue, kPlaceholderSampleCount, kPlaceholderSizeValue);
    return;
  }
  std::int64_t keep = kGsmHeaderBytes + whole * kGsmBlockBytes;
  if (length != keep) StreamTruncate(file, keep);
}

}  // namespace kiv
