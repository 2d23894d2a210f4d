// SPDX-License-Identifier: MIT
// Reads the header of a GSM WAVE or PCM WAVE file and judges it against the
// file's real length. The chunk list is walked by seeking, so chunks of any
// size before the data, a pad byte after an odd-sized chunk and chunks after
// the data are all read; every read is bounds-checked, so any byte sequence
// is safe to inspect.
//
// The judgement made here is the one that `info` reports, that `decode`
// follows and that repair acts on, so the three never disagree about a file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "byte_source.h"

namespace kiv {

enum class WaveKind { kNotWave, kGsm, kPcm, kOtherWave };

struct WaveInfo {
  WaveKind kind = WaveKind::kNotWave;
  std::uint64_t file_size = 0;
  std::uint32_t riff_size = 0;
  bool has_fmt = false;
  std::uint16_t format_tag = 0, channels = 0, block_align = 0, bits_per_sample = 0;
  std::uint32_t sample_rate = 0, bytes_per_second = 0;
  std::uint16_t samples_per_block = 0;  // GSM only
  // GSM: 8000 Hz mono in 65-byte blocks of 320 samples. PCM: a block
  // alignment of channels x bytes per sample, a sample rate and a width.
  bool format_ok = false;
  bool has_fact = false;
  std::uint64_t fact_offset = 0;  // where the sample count is stored
  std::uint32_t fact_samples = 0;
  bool has_data = false;
  std::uint64_t data_offset = 0;   // first payload byte
  std::uint32_t data_size = 0;     // as the header says
  std::uint64_t data_present = 0;  // payload bytes actually in the file
  // The data chunk's stated size fits in the file, and what follows it is a
  // well-formed list of chunks (possibly none).
  bool data_fits = false;
  bool chunks_after_data = false;  // well-formed chunks follow the data
  bool zero_header = false;        // all-zero PCM header: a recording never stopped
  std::uint32_t frame_bytes = 0;   // one block (GSM) or sample frame (PCM), when format_ok
  std::uint64_t frames = 0;        // whole blocks or sample frames present
  bool count_agrees = false;       // GSM: the sample count fits the blocks present
  double seconds = 0;              // audio length from the payload present
  bool placeholders = false;       // provisional sizes of an unfinished file
  bool unfinished = false;         // header never finished (zero or placeholders)
  bool consistent = false;         // every size agrees with the file
  bool damaged = false;            // a problem that no size field can mend
  std::vector<std::string> problems;
};

WaveInfo InspectWave(const ByteSource& file);
inline WaveInfo InspectWave(const unsigned char* data, std::size_t size) {
  return InspectWave(MemoryBytes(data, size));
}

// Whether four bytes can be a chunk id as RIFF writers use them: printable
// ASCII characters. What follows the data chunk counts as chunks only when
// each starts so.
bool PlausibleChunkId(const unsigned char* id);

// The samples a decoder should produce from a GSM file: its sample count
// when the file is finished and the count agrees with the blocks present;
// otherwise (unfinished, no count, or a count that disagrees) every whole
// block present.
std::uint64_t GsmSamplesToDecode(const WaveInfo& info);

// What the format chunk claims, in words ("16000 Hz, 2 channels, 33-byte
// blocks of 320 samples"), for messages about a format that is refused.
std::string DescribeFormat(const WaveInfo& info);

}  // namespace kiv
