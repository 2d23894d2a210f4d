// SPDX-License-Identifier: MIT
// libsndfile's open for a UTF-8 name, as OpenFile (utf8_path.h) is
// std::fopen's: on Windows the narrow sf_open takes the ANSI code page, so
// the name goes to sf_wchar_open as UTF-16 instead.
#pragma once

#include <sndfile.h>

#include <string>

#include "platform/utf8_path.h"

namespace kiv::tool {

inline SNDFILE* OpenSndFile(const std::string& utf8, int mode, SF_INFO* info) {
#if defined(_WIN32)
  return sf_wchar_open(FsPath(utf8).c_str(), mode, info);
#else
  return sf_open(utf8.c_str(), mode, info);
#endif
}

}  // namespace kiv::tool
