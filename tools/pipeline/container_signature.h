// SPDX-License-Identifier: MIT
// What an input is, decided from its own first bytes and the name the user
// gave, never guessed: raw 8000 Hz speech is the tool's main input, but it
// is taken as raw only on a positive sign (--raw, a raw name such as .raw
// or .pcm, or standard input that starts like nothing else), so that an
// AAC memo or a text file is refused instead of encoded as noise. A
// container is recognised by its signature at the start (RIFF, FORM, fLaC,
// OggS, ...); bare MPEG frames, which have none, by a chain of valid frame
// headers, on standard input or under an MPEG name.
#pragma once

#include <cstddef>
#include <string>

namespace kiv::tool {

enum class InputKind {
  kRaw,      // 8000 Hz mono s16le, byte for byte
  kSndfile,  // a container that libsndfile reads
  kMpeg,     // MPEG audio frames, bare or after an ID3 tag
  kOgg,      // Ogg Vorbis or Opus, chained or not
  kRefused,  // nothing kivgsm converts; `why` says what was seen
};

struct Recognised {
  InputKind kind = InputKind::kRefused;
  std::string container;  // "RIFF/WAVE", "FLAC", "Ogg", "MPEG"...; empty for raw
  std::string why;        // for kRefused
};

inline constexpr char kWaveContainer[] = "RIFF/WAVE";
inline constexpr char kFlacContainer[] = "FLAC";

// `head` holds the input's first `n` bytes (all of a shorter input), `name`
// the name the user gave ("-" for standard input), `raw` whether --raw was.
Recognised RecogniseInput(const unsigned char* head, std::size_t n, const std::string& name, bool raw);

// Whether `data` starts with an MPEG audio frame that more frames of the
// same stream follow (or that fills the data). Any large enough noise
// holds a few bytes that look like a frame header; a chain of them does not.
bool MpegFramesAtStart(const unsigned char* data, std::size_t n);

}  // namespace kiv::tool
