// SPDX-License-Identifier: MIT
// Command-line arguments (UTF-8) to the library's UTF-16 paths.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "kivgsm.h"

namespace kiv::tool {

// Strict UTF-8 decoding; false on malformed input.
bool Utf8ToPath(const std::string& utf8, std::basic_string<KivPathChar>* out);

// A UTF-8 name as a file-system path, whatever the platform's narrow
// encoding (on Windows the ANSI code page).
inline std::filesystem::path FsPath(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

// A file-system path as a UTF-8 name, the other way round from FsPath.
inline std::string Utf8Name(const std::filesystem::path& path) {
  std::u8string u8 = path.u8string();
  return std::string(u8.begin(), u8.end());
}

// The size of the file named, or 0 when it cannot be read.
inline std::uint64_t SizeOrZero(const std::string& utf8) {
  std::error_code ec;
  std::uintmax_t n = std::filesystem::file_size(FsPath(utf8), ec);
  return ec ? 0 : n;
}

// std::fopen for a UTF-8 name on every platform.
std::FILE* OpenFile(const std::string& utf8, const char* mode);

}  // namespace kiv::tool
