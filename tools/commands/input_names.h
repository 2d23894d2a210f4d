// SPDX-License-Identifier: MIT
// The inputs of a batch, one at a time: first those named on the command
// line, then those read from a list (one per line, or NUL-separated), so
// that a list of any length is never held in memory.
//
// A list is UTF-8, with or without a byte-order mark, or UTF-16 with one
// (what PowerShell's > and Notepad's "Unicode" write). Without a mark its
// names are taken as bytes on POSIX, where any bytes name a file; on
// Windows a line that is not UTF-8 is reported and skipped.
#pragma once

#include <cstdint>
#include <istream>
#include <memory>
#include <string>

#include "commands/convert_command.h"

namespace kiv::tool {

class InputNames {
 public:
  explicit InputNames(const ConvertOptions& options);
  bool ok() const { return options_.files_from.empty() || (list_ != nullptr && !list_->bad()); }
  // A read error in the list (a folder named as one, an I/O error) ends it.
  bool failed() const { return list_ != nullptr && list_->bad(); }
  // The next name, true; or, with `undecodable` set, a line that names no
  // file in a form this system takes (why, and where), true; false at the
  // end.
  bool Next(std::string* name, std::string* undecodable);

 private:
  enum class Encoding { kUnknown, kBytes, kUtf16Le, kUtf16Be };
  bool ReadBytes(std::string* name);
  bool ReadUtf16(std::string* name, bool* valid);
  void FindEncoding();

  const ConvertOptions& options_;
  std::size_t next_ = 0;
  std::uint64_t line_ = 0;
  Encoding encoding_ = Encoding::kUnknown;
  std::string pending_;  // bytes read in looking for a byte-order mark
  std::unique_ptr<std::istream> list_;
};

}  // namespace kiv::tool
