// SPDX-License-Identifier: MIT
// The GSM WAVE file: a 60-byte RIFF/WAVE header of format tag 0x0031
// followed by 65-byte blocks, each the WAV49 encoding of 320 samples.
#pragma once

#include <cstdint>

#include "wave_format.h"
#include "io/file_stream.h"

namespace kiv {

// Writes the sixteen header fields at the current position, one write per
// field, stopping at the first that fails. Returns true when every byte was
// accepted.
bool WriteGsmWaveHeader(FileStream* file, std::uint32_t riffSize, std::uint32_t sampleCount,
                        std::uint32_t dataSize);

// Rewrites the header of a file whose blocks have all been appended: the RIFF
// and data sizes from the file's measured length, the sample count from
// `blockCount`. Updates `*sizeValue` (to length - 60) and `*sampleCount`.
// The file stays open. Returns true when every seek, position query and
// write succeeded; on false nothing was written where it does not belong
// (the provisional header may remain), and the two values are unchanged.
bool FinishGsmWaveFile(FileStream* file, std::uint32_t blockCount, std::uint32_t* sizeValue,
                       std::uint32_t* sampleCount);

// After a failed write: cuts the file back to the header and the whole
// blocks that reached it (at most `*blockCount`) and sets `*blockCount` to
// their number, so that FinishGsmWaveFile then describes only those. False
// when the file's length could not be learnt or it could not be cut; the
// file cannot then be finished.
bool TrimGsmWaveFile(FileStream* file, std::uint32_t* blockCount);

}  // namespace kiv
