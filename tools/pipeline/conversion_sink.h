// SPDX-License-Identifier: MIT
// The end of the conversion pipeline: decoded audio of any rate and channel
// count, mixed down to mono, resampled to 8000 Hz with libsoxr, rounded to
// 16 bits and pushed into the library's GSM writer, all in memory.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "convert/gsm_wave_writer.h"
#include "pipeline/sample_sink.h"

struct soxr;

namespace kiv::tool {

class ConversionSink : public SampleSink {
 public:
  // `writer` is open; `keep_going` is asked before each piece (false after
  // a user's Ctrl-C). `threads` is the resampler's (0: as many as it likes).
  ConversionSink(GsmWaveWriter* writer, int threads, std::function<bool()> keep_going);
  ~ConversionSink() override;
  ConversionSink(const ConversionSink&) = delete;
  ConversionSink& operator=(const ConversionSink&) = delete;

  bool PushFloat(const float* frames, std::size_t count, int channels, int rate) override;
  bool PushShort(const std::int16_t* frames, std::size_t count, int channels, int rate) override;
  // Drains the resampler at the end of the input. False when the writer
  // refused the last samples.
  bool Finish();

  std::uint64_t clipped() const { return clipped_; }    // beyond full scale, held at the limit
  std::uint64_t silenced() const { return silenced_; }  // NaN or infinite, made silent
  bool mixed_down() const { return mixed_down_; }        // some audio had more than one channel
  bool resampled() const { return rate_changed_; }       // some audio was not at 8000 Hz

 private:
  bool Mono(const float* frames, std::size_t count, int channels);
  bool Resample(const float* mono, std::size_t count, int rate);
  bool Emit(const float* samples, std::size_t count);
  bool Flush();

  GsmWaveWriter* writer_;
  int threads_;
  std::function<bool()> keep_going_;
  soxr* resampler_ = nullptr;
  int rate_ = 0;  // the rate the resampler was made for
  std::uint64_t clipped_ = 0, silenced_ = 0;
  bool mixed_down_ = false, rate_changed_ = false;
  std::vector<float> mono_, resampled_, floats_;
  std::vector<std::int16_t> pcm_;
};

}  // namespace kiv::tool
