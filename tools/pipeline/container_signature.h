// SPDX-License-Identifier: MIT
// Whether an input is a container or raw audio, decided by the input's own
// first bytes, never guessed: raw 8000 Hz speech is the tool's main input,
// and libsndfile's probing takes some of it for MPEG frames. A container is
// recognised only by its signature at the start (RIFF, FORM, fLaC, OggS,
// ...); bare MPEG frames, which have none, only by a name ending in .mp3,
// .mp2 or .mpga. Everything else is raw.
#pragma once

#include <cstddef>
#include <string>

namespace kiv::tool {

// How many leading bytes ContainerSignature looks at.
inline constexpr std::size_t kSignatureBytes = 20;

// The names of the containers whose files may hold several streams one
// after another: Ogg, MPEG that starts with an ID3 tag, and bare MPEG
// frames (known by the file's name).
inline constexpr char kOggContainer[] = "Ogg";
inline constexpr char kWaveContainer[] = "RIFF/WAVE";
inline constexpr char kMpegId3Container[] = "MPEG (ID3 tag)";
inline constexpr char kMpegContainer[] = "MPEG";

// The container's name ("WAVE", "FLAC", "Ogg"...), or nullptr for raw
// audio. `head` holds the input's first `n` bytes; `name` is the name the
// user gave (for the MPEG extensions).
const char* ContainerSignature(const unsigned char* head, std::size_t n, const std::string& name);

// The container that `name` promises by an extension of a self-describing
// format (".flac", ".wav", ".ogg"...), or nullptr. An input so named that
// has no signature is refused rather than encoded as raw noise; headerless
// formats' names (.au, .gsm, .vox, .raw) promise nothing.
const char* ContainerByName(const std::string& name);

}  // namespace kiv::tool
