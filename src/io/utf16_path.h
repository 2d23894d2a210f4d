// SPDX-License-Identifier: MIT
// The library's UTF-16 paths: checking them, and converting them to UTF-8
// file names where the platform has no wide-character open.
#pragma once

#include "kivgsm.h"

namespace kiv {

// True for a non-null, non-empty path with no lone surrogate.
bool IsValidPath(const KivPathChar* path);

// A zero-terminated UTF-16 path as a UTF-8 file name, converted strictly,
// in memory taken without throwing (a file name must be had, or refused,
// when memory has run out): c_str() is null for a null or empty path, a
// lone surrogate, or no memory.
class Utf8FileName {
 public:
  explicit Utf8FileName(const KivPathChar* path);
  ~Utf8FileName() { delete[] name_; }
  Utf8FileName(const Utf8FileName&) = delete;
  Utf8FileName& operator=(const Utf8FileName&) = delete;
  const char* c_str() const { return name_; }

 private:
  char* name_ = nullptr;
};

}  // namespace kiv
