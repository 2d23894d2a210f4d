// SPDX-License-Identifier: MIT
#include "pipeline/conversion_sink.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>

#include "wave_format.h"

namespace kiv::tool {
namespace {

constexpr int kTargetRate = static_cast<int>(kSampleRate);
constexpr std::size_t kPiece = 8192;  // samples handled at a time

}  // namespace

ConversionSink::ConversionSink(GsmWaveWriter* writer, int threads, std::function<bool()> keep_going)
    : writer_(writer), threads_(threads), keep_going_(std::move(keep_going)), mono_(kPiece), resampled_(kPiece), pcm_(kPiece) {}

ConversionSink::~ConversionSink() {
  if (resampler_ != nullptr) soxr_delete(resampler_);
}

bool ConversionSink::PushShort(const std::int16_t* frames, std::size_t count, int channels, int rate) {
  if (keep_going_ && !keep_going_()) return false;
  if (channels == 1 && rate == kTargetRate && resampler_ == nullptr) return GsmWaveWriterPush(writer_, frames, count);
  // Anything else takes the float path, whose conversion of 16-bit values
  // is exact.
  const auto ch = static_cast<std::size_t>(channels);
  floats_.resize(std::max<std::size_t>(1, kPiece / ch) * ch);
  for (std::size_t done = 0; done < count;) {
    const std::size_t n = std::min(count - done, floats_.size() / ch);
    for (std::size_t i = 0; i < n * ch; ++i) floats_[i] = static_cast<float>(frames[done * ch + i]) / 32768.0f;
    if (!PushFloat(floats_.data(), n, channels, rate)) return false;
    done += n;
  }
  return true;
}

bool ConversionSink::PushFloat(const float* frames, std::size_t count, int channels, int rate) {
  if (keep_going_ && !keep_going_()) return false;
  mixed_down_ = mixed_down_ || channels > 1;
  rate_changed_ = rate_changed_ || rate != kTargetRate;
  if (rate != rate_ && !Flush()) return false;
  if (rate != rate_) {
    if (resampler_ != nullptr) soxr_delete(resampler_);
    resampler_ = nullptr;
    rate_ = rate;
    if (rate != kTargetRate) {
      soxr_error_t err = nullptr;
      soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
      soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
      soxr_runtime_spec_t runtime = soxr_runtime_spec(static_cast<unsigned>(threads_));
      resampler_ = soxr_create(rate, kTargetRate, 1, &err, &io, &quality, &runtime);
      if (resampler_ == nullptr) return false;
    }
  }
  const auto ch = static_cast<std::size_t>(channels);
  for (std::size_t done = 0; done < count;) {
    const std::size_t n = std::min(count - done, kPiece);
    if (!Mono(frames + done * ch, n, channels)) return false;
    if (!(resampler_ != nullptr ? Resample(mono_.data(), n, rate) : Emit(mono_.data(), n))) return false;
    done += n;
  }
  return true;
}

// Each sample is made finite and held within full scale before the channels
// are mixed: a NaN or infinite sample would ring through the resampler as a
// burst at full scale, and so would a finite one far beyond it.
bool ConversionSink::Mono(const float* frames, std::size_t count, int channels) {
  const auto ch = static_cast<std::size_t>(channels);
  const float scale = 1.0f / static_cast<float>(channels);
  for (std::size_t i = 0; i < count; ++i) {
    float sum = 0;
    for (std::size_t c = 0; c < ch; ++c) {
      float v = frames[i * ch + c];
      if (!std::isfinite(v)) {
        v = 0.0f;
        ++silenced_;
      } else if (v >= 1.0f || v < -1.0f) {  // +1.0 itself is past the largest 16-bit value
        v = v > 0 ? 1.0f : -1.0f;
        ++clipped_;
      }
      sum += v;
    }
    mono_[i] = channels == 1 ? sum : sum * scale;
  }
  return true;
}

// Feeds `count` mono samples (or, with mono == nullptr, the end of the
// input) through the resampler, pushing everything that comes out.
bool ConversionSink::Resample(const float* mono, std::size_t count, int) {
  std::size_t offset = 0;
  for (;;) {
    std::size_t used = 0, produced = 0;
    soxr_error_t err = soxr_process(resampler_, mono ? mono + offset : nullptr, mono ? count - offset : 0, &used,
                                    resampled_.data(), resampled_.size(), &produced);
    if (err != nullptr) return false;
    if (produced > 0 && !Emit(resampled_.data(), produced)) return false;
    offset += used;
    if (mono != nullptr && offset >= count && produced < resampled_.size()) return true;
    if (mono == nullptr && produced == 0) return true;
  }
}

// Rounds to 16 bits, holding the resampler's overshoot at the limits
// (counted as clipped; samples that did not pass the resampler were counted
// by Mono already), and pushes the samples to the writer.
bool ConversionSink::Emit(const float* samples, std::size_t count) {
  const bool count_clips = resampler_ != nullptr;
  for (std::size_t i = 0; i < count; ++i) {
    const float v = samples[i] * 32768.0f;
    long s;
    if (v <= -32768.5f) {
      s = -32768;
      if (v != -32768.5f && count_clips) ++clipped_;
    } else if (v >= 32767.5f) {
      s = 32767;
      if (count_clips) ++clipped_;
    } else {
      s = std::lrintf(v);
    }
    pcm_[i] = static_cast<std::int16_t>(s);
  }
  return GsmWaveWriterPush(writer_, pcm_.data(), count);
}

bool ConversionSink::Flush() { return resampler_ == nullptr || Resample(nullptr, 0, rate_); }

bool ConversionSink::Finish() { return Flush(); }

}  // namespace kiv::tool
