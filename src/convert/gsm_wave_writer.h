// SPDX-License-Identifier: MIT
// A GSM WAVE file written as its samples arrive: open, push samples in
// pieces of any length, finish. The converter is a loop over it, and the
// tool pushes the samples it decodes and resamples straight in, in memory.
// Memory is fixed: one block of samples waiting, one 65-byte block out.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/gsm_block_encoder.h"
#include "formats/gsm_wave_file.h"
#include "io/file_stream.h"

namespace kiv {

struct GsmWaveWriter {
  FileStream* output = nullptr;
  GsmHandle codec = nullptr;
  FileIdentity claimed{};  // the output's place in the register of outputs being written
  std::int16_t pending[kGsmSamplesPerBlock] = {};  // host-order samples of the block being filled
  std::uint32_t pendingCount = 0;
  int heldByte = -1;  // the first byte of a sample split between two GsmWaveWriterPushBytes calls
  std::uint32_t blockCount = 0;
  std::uint32_t maxBlocks = kMaxGsmBlocks;
  bool writeFailed = false;
  bool tooLong = false;  // a block past maxBlocks arrived; it was not written
};

// Creates the codec, then opens `path` through `fs` for writing and writes
// the provisional header. KIV_OK, or KIV_ERR_CODEC (nothing opened),
// KIV_ERR_ARGUMENT (the file is being written by a recording or another
// conversion: left as it was) or KIV_ERR_OUTPUT_CREATE. On KIV_OK the
// writer must be finished (GsmWaveWriterFinish), whatever happens next.
std::int32_t GsmWaveWriterOpen(GsmWaveWriter* w, const FileSystem* fs, const KivPathChar* path,
                               std::uint32_t maxBlocks = kMaxGsmBlocks);

// GsmWaveWriterOpen in two steps, for a caller that may still refuse once
// the output is known to be its own: Claim creates the codec and opens
// and locks the output, leaving what it holds (same results as Open);
// then either Begin empties it and writes the provisional header (the
// writer is then finished as after Open), or Abandon closes it as it was.
std::int32_t GsmWaveWriterClaim(GsmWaveWriter* w, const FileSystem* fs, const KivPathChar* path,
                                std::uint32_t maxBlocks = kMaxGsmBlocks);
void GsmWaveWriterBegin(GsmWaveWriter* w);
void GsmWaveWriterAbandon(GsmWaveWriter* w);

// Appends `count` host-order samples; each time 320 have gathered they are
// encoded and written as one block. Returns false once the writer takes no
// more (a write failed, or a block past maxBlocks arrived), and from then on.
bool GsmWaveWriterPush(GsmWaveWriter* w, const std::int16_t* samples, std::size_t count);

// As GsmWaveWriterPush, from little-endian 16-bit samples (a raw file's
// bytes); `bytes` counts bytes, and an odd last byte waits for the next call.
bool GsmWaveWriterPushBytes(GsmWaveWriter* w, const std::uint8_t* bytes, std::size_t count);

// Finishes the file: samples short of a whole block are not encoded, the
// header is rewritten to describe the whole blocks on disk, the file is
// closed and released. KIV_OK, KIV_ERR_WRITE (a write, seek, flush or
// close failed; the file describes the whole blocks that reached it) or
// KIV_ERR_TOO_LONG (maxBlocks were written and the file is finished).
std::int32_t GsmWaveWriterFinish(GsmWaveWriter* w);

}  // namespace kiv
