// Conversion of the library's UTF-16 paths to the platform's file names.
#pragma once

#include <string>

#include "kivgsm.h"

namespace kiv {

// Converts a zero-terminated UTF-16 path to UTF-8, strictly: returns false for
// a null or empty path and for a lone surrogate, and `out` is then unchanged.
bool Utf16PathToUtf8(const KivPathChar* path, std::string* out);

}  // namespace kiv
