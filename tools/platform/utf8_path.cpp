// SPDX-License-Identifier: MIT
#include "platform/utf8_path.h"

#include <cstring>

namespace kiv::tool {

bool Utf8ToPath(const std::string& s, std::basic_string<KivPathChar>* out) {
  // The header's strict decoder (no overlong form, surrogate or value past
  // U+10FFFF) reads up to a zero byte, which a name cannot hold anyway.
  if (s.find('\0') != std::string::npos) return false;
  const std::size_t units = KivPathFromUtf8(s.c_str(), nullptr, 0);
  if (units == 0) return false;
  std::basic_string<KivPathChar> r(units, KivPathChar{});
  KivPathFromUtf8(s.c_str(), r.data(), units);
  r.pop_back();  // the terminating zero, which basic_string keeps itself
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
