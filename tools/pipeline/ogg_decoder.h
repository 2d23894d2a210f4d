// SPDX-License-Identifier: MIT
// Ogg Vorbis (libvorbisfile) and Ogg Opus (libopusfile) decoded into a
// sample sink, from a file or a pipe. Both libraries read the input as a
// stream, front to back, so a chain of any number of links (`cat a.ogg
// b.ogg ...`) decodes link after link with one open at a time; damage is
// passed over and reported.
#pragma once

#include "pipeline/input_stream.h"
#include "pipeline/sample_sink.h"

namespace kiv::tool {

// Decodes `in` from its start to its end: Vorbis or Opus, as the first
// stream at its start is. Float samples at each link's own rate (48000 Hz
// for Opus) and channels. Code 5 when nothing decodes, 7 when the sink
// refuses more; `note` names holes, bytes outside pages and links skipped.
DecodeResult DecodeOgg(InputStream& in, SampleSink& sink);

}  // namespace kiv::tool
