// SPDX-License-Identifier: MIT
#include "file_bytes.h"

#include <filesystem>

#include "platform/utf8_path.h"
#include "wave_reader.h"

namespace kiv::tool {

FileBytes::FileBytes(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::file_status status = fs::status(FsPath(path), ec);
  if (!fs::exists(status)) {
    // Not found, or not to be looked up (no permission, a loop of links).
    error_ = status.type() != fs::file_type::not_found && ec ? "cannot read the file: " + ec.message()
                                                             : "cannot read the file: it does not exist";
    return;
  }
  if (!fs::is_regular_file(status)) {
    error_ = fs::is_directory(status) ? "cannot read the file: it is a folder"
                                      : "cannot read the file: it is not a regular file (a FIFO, socket or device)";
    return;
  }
  in_.open(FsPath(path), std::ios::binary | std::ios::ate);
  std::streamoff end = in_ ? static_cast<std::streamoff>(in_.tellg()) : -1;
  if (end < 0) {
    error_ = "cannot read the file: permission denied or an I/O error";
    return;
  }
  size_ = static_cast<std::uint64_t>(end);
  ok_ = true;
}

bool FileBytes::Read(std::uint64_t offset, void* dst, std::size_t n) const {
  if (!ok_ || offset > size_ || n > size_ - offset) return false;
  if (offset != position_) {
    in_.clear();
    in_.seekg(static_cast<std::streamoff>(offset));
  }
  in_.read(static_cast<char*>(dst), static_cast<std::streamsize>(n));
  const bool whole = static_cast<std::size_t>(in_.gcount()) == n;
  position_ = whole && in_ ? offset + n : kUnknownPosition;
  if (!whole) read_failed_ = true;
  return whole;
}

bool IsFinishedWave(const std::string& path) {
  FileBytes file(path);
  const WaveInfo info = InspectWave(file);
  return file.ok() && !file.read_failed() && info.consistent && !info.unfinished && !info.damaged;
}

}  // namespace kiv::tool
