// SPDX-License-Identifier: MIT
#include "platform/utf8_path.h"

#include <cstdint>
#include <cstring>

#include "messages.h"

namespace kiv::tool {

bool Utf8ToPath(const std::string& s, std::basic_string<KivPathChar>* out) {
  std::basic_string<KivPathChar> r;
  for (std::size_t i = 0; i < s.size();) {
    const std::size_t len = Utf8Length(s, i);  // strict: no overlong form, surrogate or value past U+10FFFF
    if (len == 0) return false;
    static const unsigned char kLead[5] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    std::uint32_t c = static_cast<unsigned char>(s[i]) & kLead[len];
    for (std::size_t k = 1; k < len; ++k) c = (c << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
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
