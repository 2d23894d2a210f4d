// SPDX-License-Identifier: MIT
// Fuzz target for how the tool recognises an input from its first bytes
// and its name, and the audio size it reads from a header. Whatever the
// bytes: --raw always means raw; a refusal always says why; MPEG is only
// ever recognised on a chain of frames; a size is none (-1) or not negative.
#include <cstddef>
#include <cstdint>
#include <string>

#include "pipeline/container_signature.h"
#include "pipeline/declared_audio.h"

using kiv::tool::InputKind;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const char* const kNames[] = {"-", "in.raw", "in.wav", "in.mp3", "in.ogg", "in", "in.m4a", "IN.MP3"};
  for (const char* name : kNames) {
    const auto r = kiv::tool::RecogniseInput(data, size, name, false);
    if (r.kind == InputKind::kRefused && r.why.empty()) __builtin_trap();
    if (r.kind == InputKind::kMpeg && r.container == "MPEG" &&
        (size < 4 || data[0] != 0xff || !kiv::tool::MpegFramesAtStart(data, size)))
      __builtin_trap();
    if (r.kind == InputKind::kRaw && !r.container.empty()) __builtin_trap();
    if (kiv::tool::RecogniseInput(data, size, name, true).kind != InputKind::kRaw) __builtin_trap();
  }
  if (kiv::tool::DeclaredAudioBytes(data, size) < -1 || kiv::tool::VocFirstSoundEnd(data, size) < -1)
    __builtin_trap();
  return 0;
}
