// SPDX-License-Identifier: MIT
// libasound, loaded when a recording first opens the audio input rather
// than with the library: a host that only converts never maps it (nor pays
// for its relocations at start-up), and converts even where it is missing
// or broken, in which case opening the input fails as with no device.
#pragma once

#include <alsa/asoundlib.h>

namespace kiv {

// Every libasound function the backend and the tool call.
#define KIV_ALSA_FUNCTIONS(X)                  \
  X(snd_strerror)                              \
  X(snd_lib_error_set_handler)                 \
  X(snd_pcm_open)                              \
  X(snd_pcm_close)                             \
  X(snd_pcm_state)                             \
  X(snd_pcm_prepare)                           \
  X(snd_pcm_start)                             \
  X(snd_pcm_drop)                              \
  X(snd_pcm_recover)                           \
  X(snd_pcm_avail)                             \
  X(snd_pcm_readi)                             \
  X(snd_pcm_poll_descriptors_count)            \
  X(snd_pcm_poll_descriptors)                  \
  X(snd_pcm_poll_descriptors_revents)          \
  X(snd_pcm_hw_params_sizeof)                  \
  X(snd_pcm_hw_params_any)                     \
  X(snd_pcm_hw_params_set_access)              \
  X(snd_pcm_hw_params_set_format)              \
  X(snd_pcm_hw_params_set_channels)            \
  X(snd_pcm_hw_params_set_rate_near)           \
  X(snd_pcm_hw_params_set_buffer_time_near)    \
  X(snd_pcm_hw_params_set_period_time_near)    \
  X(snd_pcm_hw_params)                         \
  X(snd_pcm_hw_params_get_rate)                \
  X(snd_pcm_hw_params_get_buffer_size)

struct AlsaLibrary {
#define KIV_ALSA_MEMBER(name) decltype(&::name) name;
  KIV_ALSA_FUNCTIONS(KIV_ALSA_MEMBER)
#undef KIV_ALSA_MEMBER
};

// libasound.so.2's functions, loaded on the first call (from any thread)
// and kept for the life of the process; nullptr if it cannot be loaded or
// lacks one of them, for the life of the process too (a host that installs
// ALSA while it runs records after a restart). `why`, if given, receives
// the loader's reason then.
const AlsaLibrary* LoadAlsa(const char** why = nullptr);

}  // namespace kiv
