// SPDX-License-Identifier: MIT
// Audio files in any container that libsndfile reads (WAVE of any rate,
// width and channel count, FLAC, Ogg Vorbis, Opus, AIFF...), turned into
// what the converter takes: 8000 Hz mono 16-bit little-endian samples.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "byte_source.h"

namespace kiv::tool {

struct ResampleStats {
  std::uint64_t clipped = 0;  // samples beyond the 16-bit range, held at its limit
  std::uint64_t silenced = 0;  // NaN or infinite input samples, made silent
  // Said on success when the input held less or more than was decoded
  // (cut short, or bytes after its audio); empty otherwise.
  std::string note;
};

class AudioSource {
 public:
  // Opens a file whose signature names a container (container_signature.h):
  // `bytes` are the file's, `container` the name ContainerSignature gave
  // it. nullptr, with libsndfile's reason in `error`, when it cannot be read.
  static std::unique_ptr<AudioSource> Open(const std::string& utf8_path, const ByteSource& bytes,
                                           const std::string& container, std::string* error);
  virtual ~AudioSource() = default;

  virtual int rate() const = 0;
  virtual std::int64_t frames() const = 0;
  // GSM 06.10 audio, which must not be decoded and encoded again.
  virtual bool is_gsm() const = 0;
  // "44100 Hz stereo FLAC"
  virtual std::string Describe() const = 0;

  // Writes the whole audio, mixed down to mono and resampled to 8000 Hz,
  // as s16le to `out`. An input that is already 8000 Hz mono 16-bit PCM is
  // copied sample for sample. `done` follows the input's frames read, as a
  // fraction. `threads` is the resampler's (0: as many as it likes).
  // Returns 0, or the converter's code for the failure: 5 when the input
  // cannot be decoded at all, 7 when `out` cannot be written; `error` says
  // why. An input that ends before its header says is converted as far
  // as it goes, and `stats->note` says so.
  virtual int WriteRaw8k(std::FILE* out, int threads, std::atomic<double>* done, ResampleStats* stats,
                         std::string* error) = 0;
};

}  // namespace kiv::tool
