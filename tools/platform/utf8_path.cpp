// SPDX-License-Identifier: MIT
#include "platform/utf8_path.h"

#include <cstdint>
#include <cstring>

namespace kiv::tool {

bool Utf8ToPath(const std::string& s, std::basic_string<KivPathChar>* out) {
  std::basic_string<KivPathChar> r;
  for (std::size_t i = 0; i < s.size();) {
    unsigned char b = static_cast<unsigned char>(s[i]);
    std::uint32_t c;
    std::size_t len;
    if (b < 0x80) { c = b; len = 1; }
    else if ((b & 0xE0) == 0xC0) { c = b & 0x1F; len = 2; }
    else if ((b & 0xF0) == 0xE0) { c = b & 0x0F; len = 3; }
    else if ((b & 0xF8) == 0xF0) { c = b & 0x07; len = 4; }
    else return false;
    if (i + len > s.size()) return false;
    for (std::size_t k = 1; k < len; ++k) {
      unsigned char t = static_cast<unsigned char>(s[i + k]);
      if ((t & 0xC0) != 0x80) return false;
      c = (c << 6) | (t & 0x3F);
    }
    static const std::uint32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < kMin[len] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    if (c >= 0x10000) {
      c -= 0x10000;
      r += static_cast<KivPathChar>(0xD800 + (c >> 10));
      r += static_cast<KivPathChar>(0xDC00 + (c & 0x3FF));
    } else {
      r += static_cast<KivPathChar>(c);
    }
    i += len;
  }
  *out = std::move(r);
  return true;
}

}  // namespace kiv::tool

namespace kiv::tool {

std::FILE* OpenFile(const std::string& utf8, const char* mode) {
#if defined(_WIN32)
  std::wstring wmode(mode, mode + std::strlen(mode));
  return _wfopen(FsPath(utf8).c_str(), wmode.c_str());
#else
  return std::fopen(utf8.c_str(), mode);
#endif
}

}  // namespace kiv::tool
