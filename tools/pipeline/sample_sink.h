// SPDX-License-Identifier: MIT
// Where a decoder puts the audio it decodes, and what it says about it. The
// conversion's sink mixes the channels down, resamples to 8000 Hz and hands
// the samples to the library's GSM writer, all in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kiv::tool {

class SampleSink {
 public:
  virtual ~SampleSink() = default;
  // `count` interleaved frames of `channels` channels at `rate` Hz, full
  // scale +-1.0. The format may change from one call to the next (streams
  // of different rates one after another). False when no more is wanted
  // (the output failed, or the user asked to stop): the decoder stops.
  virtual bool PushFloat(const float* frames, std::size_t count, int channels, int rate) = 0;
  // The same as 16-bit integers; 8000 Hz mono ones reach the encoder
  // unchanged, sample for sample.
  virtual bool PushShort(const std::int16_t* frames, std::size_t count, int channels, int rate) = 0;
};

// What a decoder made of its input.
struct DecodeResult {
  // 0; 5 (the converter's "cannot read the input") when no audio at all
  // could be decoded; 7 when the sink refused more (its own failure is the
  // one to report).
  int code = 0;
  std::string error;   // why, when code is 5
  std::string format;  // "44100 Hz stereo MPEG-1 Layer III", the first stream's
  // Worth a warning on success: damage skipped, a stream cut short, bytes
  // no decoder reads, with amounts. Empty when all was clean.
  std::string note;
  std::uint64_t streams = 0;  // streams one after another (a chain, concatenated files)
};

// The words of decoders' formats and notes: "3 bytes", "1 byte"; "mono",
// "stereo", "6 channels".
inline std::string Plural(std::uint64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}
inline std::string ChannelsName(int channels) {
  return channels == 1 ? "mono" : channels == 2 ? "stereo" : std::to_string(channels) + " channels";
}

}  // namespace kiv::tool
