// SPDX-License-Identifier: MIT
#include "io/utf16_path.h"

#include <cstdint>

namespace kiv {

bool IsValidPath(const KivPathChar* path) {
  if (path == nullptr || path[0] == 0) return false;
  for (const KivPathChar* p = path; *p != 0; ++p) {
    std::uint32_t c = static_cast<std::uint16_t>(*p);
    if (c >= 0xD800 && c <= 0xDBFF) {
      std::uint32_t low = static_cast<std::uint16_t>(p[1]);
      if (low < 0xDC00 || low > 0xDFFF) return false;
      ++p;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      return false;
    }
  }
  return true;
}

bool Utf16PathToUtf8(const KivPathChar* path, std::string* out) {
  if (!IsValidPath(path)) return false;
  std::string utf8;
  for (const KivPathChar* p = path; *p != 0; ++p) {
    std::uint32_t c = static_cast<std::uint16_t>(*p);
    if (c >= 0xD800 && c <= 0xDBFF) {  // a valid pair, checked above
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<std::uint16_t>(p[1]) - 0xDC00);
      ++p;
    }
    if (c < 0x80) {
      utf8 += static_cast<char>(c);
    } else if (c < 0x800) {
      utf8 += static_cast<char>(0xC0 | (c >> 6));
      utf8 += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      utf8 += static_cast<char>(0xE0 | (c >> 12));
      utf8 += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      utf8 += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      utf8 += static_cast<char>(0xF0 | (c >> 18));
      utf8 += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      utf8 += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      utf8 += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  *out = std::move(utf8);
  return true;
}

}  // namespace kiv
