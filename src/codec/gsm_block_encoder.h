// SPDX-License-Identifier: MIT
// Drives libgsm in its WAV49 packing: two gsm_encode calls turn 320 samples
// into one 65-byte block. One handle serves exactly one stream, encoded in
// file order, because it carries the codec's filter memories.
#pragma once

#include <cstdint>

struct gsm_state;

namespace kiv {

using GsmHandle = gsm_state*;

// Creates a handle with WAV49 packing on; nullptr when libgsm cannot create
// one or was built without WAV49 (gsm_option refuses the option).
GsmHandle GsmBlockEncoderCreate();

// Encodes samples[0..319] into out[0..64]. Nothing past out[64] is touched.
void GsmBlockEncode(GsmHandle handle, const std::int16_t* samples, std::uint8_t* out);

// Releases the handle; a null handle is accepted.
void GsmBlockEncoderDestroy(GsmHandle handle);

}  // namespace kiv
