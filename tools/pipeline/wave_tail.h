// SPDX-License-Identifier: MIT
// What follows a WAVE file's data chunk, judged as a pipe brings it: the
// tool keeps only the stream's first bytes, and a LIST chunk of tags, or
// bytes that are no chunks at all (a header never finished), may lie far
// beyond them.
#pragma once

#include "pipeline/input_stream.h"
#include "wave_reader.h"

namespace kiv::tool {

// Reads `in` to its end from where the decoder left it, and sets `wave`'s
// judgement of the data chunk's end (`data_fits`, `data_present`,
// `chunks_after_data`) as the whole file's reader would. False, with
// `wave` unchanged, when the decoder read past the data chunk or reading
// fails.
bool JudgeStreamedTail(InputStream& in, WaveInfo* wave);

}  // namespace kiv::tool
