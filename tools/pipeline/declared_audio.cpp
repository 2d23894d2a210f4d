// SPDX-License-Identifier: MIT
#include "pipeline/declared_audio.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

namespace kiv::tool {
namespace {

constexpr char kVocMagic[] = "Creative Voice File\x1a";  // 20 bytes

std::uint64_t Big(const unsigned char* p, int n) {
  std::uint64_t v = 0;
  for (int i = 0; i < n; ++i) v = v << 8 | p[i];
  return v;
}

std::uint64_t Little(const unsigned char* p, int n) {
  std::uint64_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

// NIST SPHERE: a text header of "name -type value" lines, whose length its
// second line gives. The audio is sample_count samples of each channel.
std::int64_t Nist(const unsigned char* head, std::size_t n) {
  std::string text(reinterpret_cast<const char*>(head), std::min<std::size_t>(n, 4096));
  const std::size_t end = text.find("\nend_head");
  if (end == std::string::npos) return -1;
  text.resize(end);
  // A value out of range (beyond 2^40 samples, 1024 channels or 8 bytes)
  // reads as none.
  const auto field = [&](const char* name, std::int64_t fallback, std::int64_t most) -> std::int64_t {
    const std::size_t at = text.find(std::string("\n") + name + " -i ");
    if (at == std::string::npos) return fallback;
    const long long v = std::strtoll(text.c_str() + at + std::strlen(name) + 5, nullptr, 10);
    return v >= 0 && v <= most ? v : -1;
  };
  const std::int64_t samples = field("sample_count", -1, std::int64_t{1} << 40),
                     channels = field("channel_count", 1, 1024), width = field("sample_n_bytes", 2, 8);
  if (samples < 0 || channels < 0 || width < 0) return -1;
  return samples * channels * width;
}

// IFF 8SVX or 16SV: big-endian chunks, each padded to an even size; the
// audio is the BODY chunk.
std::int64_t Iff(const unsigned char* head, std::size_t n) {
  for (std::size_t at = 12; at + 8 <= n; at += 8 + ((Big(head + at + 4, 4) + 1) & ~std::uint64_t{1})) {
    if (std::memcmp(head + at, "BODY", 4) == 0) return static_cast<std::int64_t>(Big(head + at + 4, 4));
    if (Big(head + at + 4, 4) > n) return -1;
  }
  return -1;
}

// Creative VOC: blocks of a type byte and a 24-bit size. The audio is the
// first block of sound (type 1, after a rate and a codec byte; type 9,
// after 12 bytes of format). Its offset and size, or false.
bool VocSound(const unsigned char* head, std::size_t n, std::size_t* at, std::int64_t* size) {
  for (*at = Little(head + 20, 2); *at + 4 <= n;
       *at = static_cast<std::size_t>(VocBlockEnd(head + *at, static_cast<std::int64_t>(*at)))) {
    const unsigned type = head[*at];
    *size = static_cast<std::int64_t>(Little(head + *at + 1, 3));
    if (type == 0) return false;
    if (type == 1 || type == 9) return true;
  }
  return false;
}

std::int64_t Voc(const unsigned char* head, std::size_t n) {
  std::size_t at = 0;
  std::int64_t size = 0;
  if (!VocSound(head, n, &at, &size)) return -1;
  const std::int64_t format = head[at] == 1 ? 2 : 12;
  return size >= format ? size - format : -1;
}

// Sony W64: chunks named by GUIDs, with little-endian 64-bit sizes that
// count their 24-byte headers, each padded to 8 bytes.
std::int64_t W64(const unsigned char* head, std::size_t n) {
  static const unsigned char kData[16] = {'d',  'a',  't',  'a',  0xf3, 0xac, 0xd3, 0x11,
                                          0x8c, 0xd1, 0x00, 0xc0, 0x4f, 0x8e, 0xdb, 0x8a};
  for (std::size_t at = 40; at + 24 <= n;) {
    const std::uint64_t size = Little(head + at + 16, 8);
    if (size < 24) return -1;
    if (std::memcmp(head + at, kData, 16) == 0)
      return size - 24 < (std::uint64_t{1} << 62) ? static_cast<std::int64_t>(size - 24) : -1;
    if (size > n) return -1;
    at += static_cast<std::size_t>((size + 7) & ~std::uint64_t{7});
  }
  return -1;
}

// AVR: a 128-byte big-endian header giving the channels (0 mono, else
// stereo), the bits of a sample and the frames.
std::int64_t Avr(const unsigned char* head) {
  const std::uint64_t channels = Big(head + 12, 2) == 0 ? 1 : 2, bits = Big(head + 14, 2);
  if (bits != 8 && bits != 16) return -1;
  return static_cast<std::int64_t>(Big(head + 26, 4) * channels * (bits / 8));
}

}  // namespace

std::int64_t DeclaredAudioBytes(const unsigned char* head, std::size_t n) {
  static const unsigned char kW64[16] = {'r',  'i',  'f',  'f',  0x2e, 0x91, 0xcf, 0x11,
                                         0xa5, 0xd6, 0x28, 0xdb, 0x04, 0xc1, 0x00, 0x00};
  if (n >= 16 && std::memcmp(head, "NIST_1A\n", 8) == 0) return Nist(head, n);
  if (n >= 12 && std::memcmp(head, "FORM", 4) == 0 &&
      (std::memcmp(head + 8, "8SVX", 4) == 0 || std::memcmp(head + 8, "16SV", 4) == 0))
    return Iff(head, n);
  if (n >= 26 && std::memcmp(head, kVocMagic, 20) == 0) return Voc(head, n);
  if (n >= 40 && std::memcmp(head, kW64, 16) == 0) return W64(head, n);
  if (n >= 30 && std::memcmp(head, "2BIT", 4) == 0) return Avr(head);
  // Psion WVE: one byte of A-law a sample, their number after the name.
  if (n >= 22 && std::memcmp(head, "ALawSoundFile**", 15) == 0) return static_cast<std::int64_t>(Big(head + 18, 4));
  return -1;
}

std::int64_t VocFirstSoundEnd(const unsigned char* head, std::size_t n, unsigned* type) {
  std::size_t at = 0;
  std::int64_t size = 0;
  if (n < 26 || std::memcmp(head, kVocMagic, 20) != 0 || !VocSound(head, n, &at, &size)) return -1;
  if (type != nullptr) *type = head[at];
  return VocBlockEnd(head + at, static_cast<std::int64_t>(at));
}

std::int64_t VocBlockEnd(const unsigned char* header, std::int64_t at) {
  return at + 4 + static_cast<std::int64_t>(Little(header + 1, 3));
}

}  // namespace kiv::tool
