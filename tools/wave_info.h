// Reads the header of a GSM WAVE or PCM WAVE file and judges it against the
// file's real length. Works on a bounded prefix of the file and checks every
// offset before it reads, so any byte sequence is safe to inspect.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kiv::tool {

enum class WaveKind { kNotWave, kGsm, kPcm, kOtherWave };

struct WaveInfo {
  WaveKind kind = WaveKind::kNotWave;
  std::uint64_t file_size = 0;
  std::uint32_t riff_size = 0;
  bool has_fmt = false;
  std::uint16_t format_tag = 0, channels = 0, block_align = 0, bits_per_sample = 0;
  std::uint32_t sample_rate = 0, bytes_per_second = 0;
  std::uint16_t samples_per_block = 0;  // GSM only
  bool has_fact = false;
  std::uint32_t fact_samples = 0;
  bool has_data = false;
  std::uint64_t data_offset = 0;   // first payload byte
  std::uint32_t data_size = 0;     // as the header says
  std::uint64_t data_present = 0;  // payload bytes actually in the file
  double seconds = 0;              // audio length from the payload present
  bool placeholders = false;       // provisional sizes of an unfinished file
  bool unfinished = false;         // header never finished (zero or placeholders)
  bool consistent = false;         // every size agrees with the file
  std::vector<std::string> problems;
};

// `prefix` holds the first bytes of the file (possibly all of it), and
// `file_size` is the file's full length.
WaveInfo InspectWave(const unsigned char* prefix, std::size_t prefix_size, std::uint64_t file_size);

// Multi-line human-readable report.
std::string FormatWaveInfo(const WaveInfo& info);

}  // namespace kiv::tool
