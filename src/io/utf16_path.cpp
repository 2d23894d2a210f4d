// SPDX-License-Identifier: MIT
#include "io/utf16_path.h"

#include <cstddef>
#include <cstdint>
#include <new>

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

namespace {

// The code point at `p` (a valid pair counts as one), and how many UTF-16
// units it took.
std::uint32_t CodePoint(const KivPathChar* p, int* units) {
  std::uint32_t c = static_cast<std::uint16_t>(*p);
  *units = 1;
  if (c >= 0xD800 && c <= 0xDBFF) {  // a valid pair, checked by IsValidPath
    c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<std::uint16_t>(p[1]) - 0xDC00);
    *units = 2;
  }
  return c;
}

std::size_t Utf8Bytes(std::uint32_t c) { return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4; }

}  // namespace

Utf8FileName::Utf8FileName(const KivPathChar* path) {
  if (!IsValidPath(path)) return;
  std::size_t length = 0;
  int units;
  for (const KivPathChar* p = path; *p != 0; p += units) length += Utf8Bytes(CodePoint(p, &units));
  name_ = new (std::nothrow) char[length + 1];
  if (name_ == nullptr) return;
  char* out = name_;
  for (const KivPathChar* p = path; *p != 0; p += units) {
    const std::uint32_t c = CodePoint(p, &units);
    switch (Utf8Bytes(c)) {
      case 1:
        *out++ = static_cast<char>(c);
        break;
      case 2:
        *out++ = static_cast<char>(0xC0 | (c >> 6));
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
        break;
      case 3:
        *out++ = static_cast<char>(0xE0 | (c >> 12));
        *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
        break;
      default:
        *out++ = static_cast<char>(0xF0 | (c >> 18));
        *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  *out = '\0';
}

}  // namespace kiv
