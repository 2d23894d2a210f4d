// SPDX-License-Identifier: MIT
// Where one stream ends and the next begins in a file that holds several
// one after another: a chained Ogg file (`cat a.ogg b.ogg`: each link
// starts with a beginning-of-stream page) or concatenated MPEG audio files
// (`cat a.mp3 b.mp3`: each starts with an ID3 tag or a Xing/Info frame).
// A decoder stops at the end of the first stream, so the tool decodes each
// segment on its own and converts them all.
#pragma once

#include <cstdint>
#include <vector>

#include "byte_source.h"

namespace kiv::tool {

struct StreamSegments {
  std::vector<std::uint64_t> starts;  // byte offset of each stream; the first is 0
  std::uint64_t end = 0;              // where the last recognisable stream ends
};

// Ogg pages, walked from the start of `file`.
StreamSegments OggSegments(const ByteSource& file);
// MPEG audio frames and their tags, walked from the start of `file`.
StreamSegments MpegSegments(const ByteSource& file);

// Whether `file` starts with an MPEG audio frame that another follows (or
// that fills the file): what bare MPEG, which has no signature, must do
// before a decoder is let loose on it; a decoder that hunts for frames
// finds some in any large enough noise.
bool StartsWithMpegFrames(const ByteSource& file);

}  // namespace kiv::tool
