// SPDX-License-Identifier: MIT
// Containers that libsndfile reads (WAVE of any rate, width and channel
// count, RF64, W64, AIFF, CAF, AU, FLAC...), decoded into a SampleSink
// through libsndfile's virtual I/O over the conversion's input, so that a
// pipe streams as a file does.
#pragma once

#include "pipeline/input_stream.h"
#include "pipeline/sample_sink.h"
#include "wave_reader.h"

namespace kiv::tool {

// Decodes the whole input. Whether it was cut short is judged from the
// frames its header declares against the frames decoded: libsndfile is told
// no length, so it never quietly shortens a chunk to what the file holds.
// ADPCM in WAVE, whose missing blocks libsndfile fills with silence, is
// held to the blocks `wave` (the input's header) finds present. A GSM
// 06.10 input is refused with 9: it must not be encoded again.
DecodeResult DecodeSndfile(InputStream& in, SampleSink& sink, const WaveInfo& wave);

}  // namespace kiv::tool
