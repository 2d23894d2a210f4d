// SPDX-License-Identifier: MIT
// The buffering every platform's file layer shares: a fixed 64 KiB buffer
// per stream over a handful of raw operations on an operating-system file.
// Unlike stdio, a failed write is known exactly: bytes that the system
// refused are dropped from the buffer and the stream is marked failed, so a
// later seek to the end measures what really reached the file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "io/file_stream.h"

namespace kiv {

enum class RawWhence { kStart, kCurrent, kEnd };

// A platform's unbuffered file, named by an opaque handle.
struct RawFileOps {
  // Bytes read (0 at the end), or -1 on an error.
  std::int64_t (*read)(std::intptr_t file, void* dst, std::size_t n);
  // Bytes written (possibly short), or -1 on an error.
  std::int64_t (*write)(std::intptr_t file, const void* src, std::size_t n);
  // The new position, or -1.
  std::int64_t (*seek)(std::intptr_t file, std::int64_t offset, RawWhence whence);
  // Cuts or extends the file to `length`; the position is unspecified.
  bool (*truncate)(std::intptr_t file, std::int64_t length);
  bool (*identify)(std::intptr_t file, FileIdentity* id);
  bool (*close)(std::intptr_t file);
};

// A buffered stream over `file`; nullptr (with `file` closed) if memory
// runs out.
FileStream* NewBufferedStream(const RawFileOps* ops, std::intptr_t file);

}  // namespace kiv
