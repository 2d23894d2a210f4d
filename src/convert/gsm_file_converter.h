// SPDX-License-Identifier: MIT
// Raw PCM file to GSM WAVE file, synchronously on the caller's thread.
#pragma once

#include <cstdint>

#include "io/file_stream.h"
#include "formats/gsm_wave_file.h"

namespace kiv {

// Converts the raw 8000 Hz mono 16-bit little-endian PCM file `inputPath`
// into a GSM WAVE file `outputPath`, both reached through `fs`; both paths
// must be valid (IsValidPath). Returns a
// KIV_* result code. Everything that can fail before the output is opened
// (input, identity of the two files, codec) is checked first, so that on
// those failures an existing output is left as it was. At most `maxBlocks`
// blocks are encoded; more input than that gives KIV_ERR_TOO_LONG with a
// finished file. Memory is fixed: one 640-byte block in, one 65-byte out.
std::int32_t ConvertRawToGsmWave(const FileSystem* fs, const KivPathChar* inputPath, const KivPathChar* outputPath,
                                 std::uint32_t maxBlocks = kMaxGsmBlocks);

}  // namespace kiv
