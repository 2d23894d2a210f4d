// SPDX-License-Identifier: MIT
#include "codec/gsm_block_encoder.h"

#include <gsm.h>

#include "formats/wave_format.h"

namespace kiv {

static_assert(sizeof(gsm_signal) == sizeof(std::int16_t), "libgsm samples must be 16-bit");

GsmHandle GsmBlockEncoderCreate() {
  gsm handle = gsm_create();
  if (handle == nullptr) return nullptr;
  int on = 1;
  if (gsm_option(handle, GSM_OPT_WAV49, &on) == -1) {
    gsm_destroy(handle);
    return nullptr;
  }
  return handle;
}

void GsmBlockEncode(GsmHandle handle, const std::int16_t* samples, std::uint8_t* out) {
  // libgsm takes non-const pointers but does not write the samples.
  gsm_signal* in = const_cast<gsm_signal*>(reinterpret_cast<const gsm_signal*>(samples));
  // First frame: bytes 0..32 (byte 32 holds only its last four bits).
  gsm_encode(handle, in, out);
  // Second frame completes byte 32 and fills 33..64.
  gsm_encode(handle, in + kGsmSamplesPerFrame, out + kGsmFirstFrameBytes - 1);
}

void GsmBlockEncoderDestroy(GsmHandle handle) {
  if (handle != nullptr) gsm_destroy(handle);
}

}  // namespace kiv
