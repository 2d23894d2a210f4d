// SPDX-License-Identifier: MIT
// The input of one conversion, read once from its start: a regular file
// (which can also seek), standard input or a pipe (which cannot). Its first
// bytes are kept, so that its format can be recognised from them and the
// decoder chosen still reads them; on a pipe a decoder may seek back into
// them, never beyond. Decoders reach their input only through this.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace kiv::tool {

class InputStream {
 public:
  // How many leading bytes are kept for recognising the format.
  static constexpr std::size_t kHeadBytes = 64 * 1024;

  // Opens the input named on the command line; "-" is standard input. Only
  // a regular file, a pipe or a FIFO is opened, and a FIFO is not waited on
  // longer than its writer takes; a folder, a device or a socket is refused
  // before anything could disturb it. nullptr, with the reason in `why`.
  static std::unique_ptr<InputStream> Open(const std::string& utf8_name, std::string* why);
  ~InputStream();
  InputStream(const InputStream&) = delete;
  InputStream& operator=(const InputStream&) = delete;

  // Reads up to `n` bytes; fewer only at the end of the input or on a read
  // error (failed()).
  std::size_t Read(void* dst, std::size_t n);
  bool failed() const { return failed_; }
  bool seekable() const { return seekable_; }
  // Moves to byte `offset` from the start. Any offset of a regular file; on
  // a pipe only one within the kept head while nothing past it was read.
  bool Seek(std::int64_t offset);
  // Moves on by up to `n` bytes (read and dropped from a pipe); how many
  // there were before the end.
  std::uint64_t Skip(std::uint64_t n);
  std::int64_t Tell() const { return pos_; }
  // The length in bytes, or -1 for a pipe.
  std::int64_t size() const { return size_; }
  // The length where it is known: a file's, or a pipe's that ended within
  // the kept head; -1 otherwise.
  std::int64_t known_size() const {
    if (seekable_) return size_;
    return head_size_ < head_.size() && !failed_ ? static_cast<std::int64_t>(head_size_) : -1;
  }
  // The first bytes (all of a shorter input).
  const unsigned char* head() const { return head_.data(); }
  std::size_t head_size() const { return head_size_; }
  // Keeps up to `bytes` of a pipe's start instead, reading on, while
  // nothing past the head has been read; false if there is no more to
  // keep (the input ended, a file, or a read went past the head).
  bool ExtendHead(std::size_t bytes);

 private:
  InputStream(std::FILE* file, bool owned, bool seekable, std::int64_t size);
  std::size_t ReadFile(void* dst, std::size_t n);

  std::FILE* file_;
  bool owned_;
  bool seekable_;
  std::int64_t size_;
  std::int64_t pos_ = 0;       // the position the next Read reads from
  std::int64_t file_pos_ = 0;  // where file_ stands
  bool failed_ = false;
  std::vector<unsigned char> head_;
  std::size_t head_size_ = 0;
};

}  // namespace kiv::tool
