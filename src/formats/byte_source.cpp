// SPDX-License-Identifier: MIT
#include "formats/byte_source.h"

#include <cstring>

namespace kiv {

bool MemoryBytes::Read(std::uint64_t offset, void* dst, std::size_t n) const {
  if (offset > size_ || n > size_ - offset) return false;
  if (n > 0) std::memcpy(dst, data_ + offset, n);
  return true;
}

}  // namespace kiv
