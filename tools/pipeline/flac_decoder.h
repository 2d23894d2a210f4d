// SPDX-License-Identifier: MIT
// FLAC decoded with libFLAC into a sample sink, from a file or a pipe, read
// as a stream, front to back. Damage part-way is passed over as libFLAC
// finds the next frame, and reported; an ID3v2 tag in front is skipped.
#pragma once

#include "pipeline/input_stream.h"
#include "pipeline/sample_sink.h"

namespace kiv::tool {

// Decodes `in` from its start to its end, pushing float samples at the
// stream's own rate and channels. Code 5 when not a single frame decodes,
// 7 when the sink refuses more; `note` names the damage passed over and a
// stream that ends before the length its header gives.
DecodeResult DecodeFlac(InputStream& in, SampleSink& sink);

}  // namespace kiv::tool
