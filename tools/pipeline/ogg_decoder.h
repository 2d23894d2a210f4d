// SPDX-License-Identifier: MIT
// Ogg Vorbis (libvorbisfile) and Ogg Opus (libopusfile) decoded into a
// sample sink, from a file or a pipe, read as a stream, front to back. A
// chain of any number of links (`cat a.ogg b.opus ...`) decodes link after
// link, each by a decoder of its own codec, one open at a time; damage is
// passed over and reported.
#pragma once

#include "pipeline/input_stream.h"
#include "pipeline/sample_sink.h"

namespace kiv::tool {

// Decodes `in` from its start to its end: each link's first Vorbis or
// Opus stream. Float samples at each link's own rate (48000 Hz for Opus)
// and channels. Code 5 when nothing decodes, 7 when the sink refuses more;
// `note` names holes, bytes outside pages, links and streams skipped.
DecodeResult DecodeOgg(InputStream& in, SampleSink& sink);

}  // namespace kiv::tool
