// SPDX-License-Identifier: MIT
// MPEG audio (MP3, MP2, MP1) decoded with libmpg123 into a sample sink, from
// a file or a pipe. Files put one after another (`cat a.mp3 b.mp3`) decode
// as one, whatever tags or Info frames each carries, and damage part-way is
// passed over, as other players do, and reported.
#pragma once

#include <cstddef>

#include "pipeline/container_signature.h"  // MpegFramesAtStart, which recognises bare MPEG
#include "pipeline/input_stream.h"
#include "pipeline/sample_sink.h"

namespace kiv::tool {

// Decodes `in` from its start to its end, pushing float samples at the
// stream's own rate and channels. Code 5 when not a single frame decodes,
// 7 when the sink refuses more; `note` names the bytes skipped over.
DecodeResult DecodeMpeg(InputStream& in, SampleSink& sink);

}  // namespace kiv::tool
