// SPDX-License-Identifier: MIT
// The library's UTF-16 paths: checking them, and converting them to UTF-8
// file names where the platform has no wide-character open.
#pragma once

#include <string>

#include "kivgsm.h"

namespace kiv {

// True for a non-null, non-empty path with no lone surrogate.
bool IsValidPath(const KivPathChar* path);

// Converts a zero-terminated UTF-16 path to UTF-8, strictly: returns false for
// a null or empty path and for a lone surrogate, and `out` is then unchanged.
bool Utf16PathToUtf8(const KivPathChar* path, std::string* out);

}  // namespace kiv
