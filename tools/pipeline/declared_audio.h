// SPDX-License-Identifier: MIT
// The size of the audio that a header declares, for the containers whose
// audio libsndfile measures by the file's length instead (NIST SPHERE, IFF
// 8SVX and 16SV, Creative VOC, Sony W64, AVR, Psion WVE). Against it, a
// file cut short shows as audio missing, whether it comes by name or
// through a pipe.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kiv::tool {

// The bytes of audio that the header at the start of the input (`n` bytes
// of it) declares; -1 where the header is none of those above, or gives no
// size within those bytes.
std::int64_t DeclaredAudioBytes(const unsigned char* head, std::size_t n);

// The offset at which a Creative VOC file's first block of sound ends, and
// the block's type (1 or 9) where `type` is given; -1 where the input is
// none, or that block's header is not in the `n` bytes. libsndfile reads
// the rest of the file as that block's audio, so blocks after it (more
// sound, silence, markers) would be read as samples.
std::int64_t VocFirstSoundEnd(const unsigned char* head, std::size_t n, unsigned* type = nullptr);
// Where a VOC block ends whose 4-byte header (a type byte, a 24-bit size)
// starts at `at`.
std::int64_t VocBlockEnd(const unsigned char* header, std::int64_t at);

}  // namespace kiv::tool
