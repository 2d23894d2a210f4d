// The GSM WAVE file: a 60-byte RIFF/WAVE header of format tag 0x0031
// followed by 65-byte blocks, each the WAV49 encoding of 320 samples.
#pragma once

#include <cstdint>

#include "formats/file_stream.h"

namespace kiv {

inline constexpr std::uint32_t kGsmHeaderBytes = 60;
inline constexpr std::uint32_t kGsmBlockBytes = 65;
inline constexpr std::uint32_t kGsmSamplesPerBlock = 320;
inline constexpr std::uint32_t kGsmBlockInputBytes = 640;
// The most blocks whose sample count (blocks x 320) fits in 32 bits.
inline constexpr std::uint32_t kMaxGsmBlocks = 13421772;
// Provisional header values written before the real sizes are known.
inline constexpr std::uint32_t kPlaceholderSizeValue = 2000000;
inline constexpr std::uint32_t kPlaceholderSampleCount = 2000160;

// Writes the sixteen header fields at the current position, one write per
// field. Returns true when every byte was accepted.
bool WriteGsmWaveHeader(FileStream* file, std::uint32_t riffSize, std::uint32_t sampleCount,
                        std::uint32_t dataSize);

// Rewrites the header of a file whose blocks have all been appended: the RIFF
// and data sizes from the file's measured length, the sample count from
// `blockCount`. Updates `*sizeValue` (to length - 60) and `*sampleCount`.
// The file stays open. Returns true when every seek and write succeeded.
bool FinishGsmWaveFile(FileStream* file, std::uint32_t blockCount, std::uint32_t* sizeValue,
                       std::uint32_t* sampleCount);

// After a failed write: cuts the file back to the header and the whole
// blocks that reached it (at most `*blockCount`) and sets `*blockCount` to
// their number, so that FinishGsmWaveFile then describes only those.
void TrimGsmWaveFile(FileStream* file, std::uint32_t* blockCount);

}  // namespace kiv
