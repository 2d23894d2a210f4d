// SPDX-License-Identifier: MIT
#include "convert/gsm_wave_writer.h"

#include <algorithm>
#include <cstring>

#include "io/output_registry.h"

namespace kiv {
namespace {

// Encodes and writes the full pending block; false when no more can go in.
bool EmitBlock(GsmWaveWriter* w) {
  w->pendingCount = 0;
  if (w->blockCount == w->maxBlocks) {
    w->tooLong = true;
    return false;
  }
  std::uint8_t block[kGsmBlockBytes];
  GsmBlockEncode(w->codec, w->pending, block);
  ++w->blockCount;
  if (StreamWrite(w->output, block, kGsmBlockBytes, 1) != 1) w->writeFailed = true;
  return !w->writeFailed;
}

bool Accepting(const GsmWaveWriter* w) { return w->output != nullptr && !w->writeFailed && !w->tooLong; }

}  // namespace

namespace {

std::int32_t OpenWith(GsmWaveWriter* w, const FileSystem* fs, const KivPathChar* path, std::uint32_t maxBlocks,
                      OpenMode mode) {
  *w = GsmWaveWriter{};
  w->maxBlocks = maxBlocks;
  w->codec = GsmBlockEncoderCreate();
  if (w->codec == nullptr) return KIV_ERR_CODEC;
  // An output that a recording (or another conversion) is writing is
  // refused: two writers would mix it.
  OutputOpen opened = OpenOutput(fs, path, &w->output, &w->claimed, mode);
  if (opened != OutputOpen::kOpened) {
    GsmBlockEncoderDestroy(w->codec);
    w->codec = nullptr;
    w->output = nullptr;
    return opened == OutputOpen::kInUse ? KIV_ERR_ARGUMENT : KIV_ERR_OUTPUT_CREATE;
  }
  return KIV_OK;
}

void WriteProvisionalHeader(GsmWaveWriter* w) {
  w->writeFailed = !WriteGsmWaveHeader(w->output, kPlaceholderSizeValue, kPlaceholderSampleCount,
                                       kPlaceholderSizeValue);
}

}  // namespace

std::int32_t GsmWaveWriterOpen(GsmWaveWriter* w, const FileSystem* fs, const KivPathChar* path,
                               std::uint32_t maxBlocks) {
  const std::int32_t rc = OpenWith(w, fs, path, maxBlocks, OpenMode::kWrite);
  if (rc == KIV_OK) WriteProvisionalHeader(w);
  return rc;
}

std::int32_t GsmWaveWriterClaim(GsmWaveWriter* w, const FileSystem* fs, const KivPathChar* path,
                                std::uint32_t maxBlocks) {
  return OpenWith(w, fs, path, maxBlocks, OpenMode::kWriteOver);
}

void GsmWaveWriterBegin(GsmWaveWriter* w) {
  if (!StreamTruncate(w->output, 0)) {
    w->writeFailed = true;
    return;
  }
  WriteProvisionalHeader(w);
}

void GsmWaveWriterAbandon(GsmWaveWriter* w) {
  GsmBlockEncoderDestroy(w->codec);
  w->codec = nullptr;
  StreamClose(w->output);  // nothing was written: nothing can be lost
  w->output = nullptr;
  ReleaseOutput(w->claimed);
}

bool GsmWaveWriterPush(GsmWaveWriter* w, const std::int16_t* samples, std::size_t count) {
  while (count > 0 && Accepting(w)) {
    const std::size_t take = std::min<std::size_t>(count, kGsmSamplesPerBlock - w->pendingCount);
    std::memcpy(w->pending + w->pendingCount, samples, take * sizeof *samples);
    w->pendingCount += static_cast<std::uint32_t>(take);
    samples += take;
    count -= take;
    if (w->pendingCount == kGsmSamplesPerBlock) EmitBlock(w);
  }
  return Accepting(w);
}

bool GsmWaveWriterPushBytes(GsmWaveWriter* w, const std::uint8_t* bytes, std::size_t count) {
  std::int16_t samples[kGsmSamplesPerBlock];
  while (count > 0 && Accepting(w)) {
    std::size_t n = 0;
    if (w->heldByte >= 0) {  // the low byte of a sample came at the end of the last call
      samples[n++] = static_cast<std::int16_t>(w->heldByte | (bytes[0] << 8));
      w->heldByte = -1;
      ++bytes;
      --count;
    }
    for (; n < kGsmSamplesPerBlock && count >= 2; bytes += 2, count -= 2)
      samples[n++] = static_cast<std::int16_t>(bytes[0] | (bytes[1] << 8));
    if (n < kGsmSamplesPerBlock && count == 1) {
      w->heldByte = bytes[0];
      count = 0;
    }
    GsmWaveWriterPush(w, samples, n);
  }
  return Accepting(w);
}

std::int32_t GsmWaveWriterFinish(GsmWaveWriter* w) {
  if (w->output == nullptr) return KIV_ERR_OUTPUT_CREATE;
  GsmBlockEncoderDestroy(w->codec);
  w->codec = nullptr;
  // Buffered blocks may still fail on their way to the file; after any
  // failure the header is made to describe only the whole blocks on disk.
  if (!StreamFlush(w->output)) w->writeFailed = true;
  bool trimmed = !w->writeFailed || TrimGsmWaveFile(w->output, &w->blockCount);
  std::uint32_t sizeValue = 0, sampleCount = 0;
  if (!trimmed || !FinishGsmWaveFile(w->output, w->blockCount, &sizeValue, &sampleCount)) w->writeFailed = true;
  if (!StreamClose(w->output)) w->writeFailed = true;
  w->output = nullptr;
  ReleaseOutput(w->claimed);
  if (w->writeFailed) return KIV_ERR_WRITE;
  if (w->tooLong) return KIV_ERR_TOO_LONG;
  return KIV_OK;
}

}  // namespace kiv
