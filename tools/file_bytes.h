// SPDX-License-Identifier: MIT
// A file named on the command line, for the WAVE reader: random access to
// its bytes by a UTF-8 name. Only a regular file is opened, so that a FIFO
// with no writer, a device or a folder is refused at once instead of
// blocking in open or reading forever.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>

#include "byte_source.h"

namespace kiv::tool {

class FileBytes : public ByteSource {
 public:
  explicit FileBytes(const std::string& utf8_path);
  bool ok() const { return ok_; }
  // Why the file could not be opened, when !ok().
  const std::string& error() const { return error_; }
  // True once a read of bytes the file has failed (an I/O error), as
  // against one past its end.
  bool read_failed() const { return read_failed_; }
  std::uint64_t size() const override { return size_; }
  bool Read(std::uint64_t offset, void* dst, std::size_t n) const override;

 private:
  mutable std::ifstream in_;
  // Where the stream stands after the last read, or kUnknownPosition. A
  // read that starts there does not seek: seeking empties the stream's
  // buffer, and reading a file block after block would read it again for
  // every block.
  static constexpr std::uint64_t kUnknownPosition = ~std::uint64_t{0};
  mutable std::uint64_t position_ = kUnknownPosition;
  std::uint64_t size_ = 0;
  bool ok_ = false;
  mutable bool read_failed_ = false;
  std::string error_;
};

// True when the file at `path` is a WAVE file whose header describes it,
// as `info` judges it.
bool IsFinishedWave(const std::string& path);

}  // namespace kiv::tool
