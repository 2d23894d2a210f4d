// SPDX-License-Identifier: MIT
// Random access to the bytes of a file or of a buffer, so that a WAVE
// file's chunk list can be walked by seeking, whatever the chunks' sizes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kiv {

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual std::uint64_t size() const = 0;
  // Reads exactly `n` bytes at `offset`; false if they are not all there.
  virtual bool Read(std::uint64_t offset, void* dst, std::size_t n) const = 0;
};

class MemoryBytes : public ByteSource {
 public:
  MemoryBytes(const unsigned char* data, std::size_t size) : data_(data), size_(size) {}
  std::uint64_t size() const override { return size_; }
  bool Read(std::uint64_t offset, void* dst, std::size_t n) const override;

 private:
  const unsigned char* data_;
  std::size_t size_;
};

}  // namespace kiv
