// SPDX-License-Identifier: MIT
#include <cstdarg>
#include <cstdio>
#include <string>

#include "messages.h"
#include "pipeline/progress_line.h"
#include "platform/alsa_library.h"
#include "platform/audio_system_messages.h"

namespace kiv::tool {
namespace {

#if defined(__GNUC__)
__attribute__((format(printf, 5, 6)))
#endif
void SayAlsaError(const char* file, int line, const char* function, int err, const char* fmt, ...) {
  if (!Verbose()) return;
  char text[512];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(text, sizeof text, fmt, args);
  va_end(args);
  std::string said = std::string("kivgsm: ALSA: ") + (function ? function : "?") + ": " + text;
  if (err != 0) said += std::string(": ") + LoadAlsa()->snd_strerror(err);
  (void)file;
  (void)line;
  SayAboveProgress(said);
}

}  // namespace

// A libasound that cannot be loaded is said here; the recording then finds
// no input.
void KeepAudioSystemMessagesForVerbose() {
  const char* why = nullptr;
  if (const AlsaLibrary* alsa = LoadAlsa(&why)) {
    alsa->snd_lib_error_set_handler(SayAlsaError);
  } else if (Verbose()) {
    SayAboveProgress(std::string("kivgsm: ALSA: ") + why);
  }
}

}  // namespace kiv::tool
