// Turns a recorder's UTF-16 path into a file name, without throwing.
#pragma once

#include <string>

#include "formats/utf16_path.h"

namespace kiv {

inline bool RecorderFileName(const KivPathChar* path, std::string* name) {
  try {
    return Utf16PathToUtf8(path, name);
  } catch (...) {
    return false;  // out of memory
  }
}

// Little-endian sample bytes to host order.
inline std::int16_t LoadSample(const unsigned char* p) {
  return static_cast<std::int16_t>(static_cast<std::uint16_t>(p[0] | (p[1] << 8)));
}

}  // namespace kiv
