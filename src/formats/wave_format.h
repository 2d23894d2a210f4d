// SPDX-License-Identifier: MIT
// The numbers of the two WAVE files this library writes and reads back:
// GSM 06.10 WAVE (format tag 0x0031, 60-byte header, 65-byte blocks) and
// 16-bit PCM WAVE (format tag 1, 44-byte header). The writers, the reader,
// repair, the codec adapter and the tool all take them from here, so that a
// reader and a writer cannot drift apart.
#pragma once

#include <cstdint>

namespace kiv {

// RIFF/WAVE in general.
inline constexpr std::uint32_t kRiffChunkHeaderBytes = 8;  // id + 32-bit size
// The largest file whose RIFF size (length - 8) fits in 32 bits.
inline constexpr std::uint64_t kMaxRiffFileBytes = 0xFFFFFFFFull + kRiffChunkHeaderBytes;
inline constexpr std::uint16_t kWaveFormatPcm = 1;
inline constexpr std::uint16_t kWaveFormatGsm610 = 0x0031;

// All audio is mono 16-bit at 8000 samples per second.
inline constexpr std::uint32_t kSampleRate = 8000;
inline constexpr std::uint16_t kChannels = 1;
inline constexpr std::uint32_t kBytesPerSample = 2;
inline constexpr std::uint16_t kBitsPerSample = 16;

// GSM 06.10 WAVE.
inline constexpr std::uint32_t kGsmHeaderBytes = 60;
inline constexpr std::uint32_t kGsmFormatChunkBytes = 20;
inline constexpr std::uint16_t kGsmExtraFormatBytes = 2;
inline constexpr std::uint32_t kGsmFactChunkBytes = 4;
inline constexpr std::uint32_t kGsmBlockBytes = 65;
inline constexpr std::uint32_t kGsmSamplesPerBlock = 320;
inline constexpr std::uint32_t kGsmBlockInputBytes = kGsmSamplesPerBlock * kBytesPerSample;  // 640
// A block holds two codec frames in libgsm's WAV49 packing: 33 bytes, then 32.
inline constexpr std::uint32_t kGsmFirstFrameBytes = 33;
inline constexpr std::uint32_t kGsmSamplesPerFrame = kGsmSamplesPerBlock / 2;
inline constexpr std::uint32_t kGsmBlocksPerSecond = kSampleRate / kGsmSamplesPerBlock;      // 25
inline constexpr std::uint32_t kGsmBytesPerSecond = kGsmBlockBytes * kGsmBlocksPerSecond;  // 1625
// Where the header's three sizes are.
inline constexpr std::uint32_t kGsmRiffSizeOffset = 4;
inline constexpr std::uint32_t kGsmSampleCountOffset = 48;
inline constexpr std::uint32_t kGsmDataSizeOffset = 56;
// The whole blocks after the header in a GSM WAVE file of `file_bytes`
// bytes: what a file still being written holds so far, or a finished one.
inline constexpr std::uint64_t GsmBlocksInFile(std::uint64_t file_bytes) {
  return file_bytes > kGsmHeaderBytes ? (file_bytes - kGsmHeaderBytes) / kGsmBlockBytes : 0;
}
// The most blocks whose sample count (blocks x 320) fits in 32 bits.
inline constexpr std::uint32_t kMaxGsmBlocks = 0xFFFFFFFFu / kGsmSamplesPerBlock;  // 13421772
// Provisional header values, written before the real sizes are known: the
// size value (RIFF and data size) and the sample count. A file that still
// carries both was never finished.
inline constexpr std::uint32_t kPlaceholderSizeValue = 2000000;
inline constexpr std::uint32_t kPlaceholderSampleCount = 2000160;

// 16-bit PCM WAVE.
inline constexpr std::uint32_t kPcmHeaderBytes = 44;
inline constexpr std::uint32_t kPcmFormatChunkBytes = 16;
inline constexpr std::uint32_t kPcmBytesPerSecond = kSampleRate * kBytesPerSample;  // 16000
// RIFF size = data size + this, for the canonical 44-byte header.
inline constexpr std::uint32_t kPcmRiffOverhead = kPcmHeaderBytes - kRiffChunkHeaderBytes;  // 36
// The most audio bytes whose RIFF size fits in 32 bits.
inline constexpr std::uint32_t kMaxPcmDataBytes = 0xFFFFFFFFu - kPcmRiffOverhead;

}  // namespace kiv
