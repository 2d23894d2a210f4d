// SPDX-License-Identifier: MIT
// An array whose memory is taken without throwing (new (std::nothrow)), for
// an audio device that must keep working, or fail cleanly, when memory has
// run out: a thrown bad_alloc then has no memory of its own either.
#pragma once

#include <cstddef>
#include <new>

namespace kiv {

template <typename T>
class NothrowArray {
 public:
  NothrowArray() = default;
  ~NothrowArray() { delete[] items_; }
  NothrowArray(const NothrowArray&) = delete;
  NothrowArray& operator=(const NothrowArray&) = delete;

  // Holds `n` items: the same ones when the size is unchanged, otherwise
  // new, value-initialised ones. False, holding none, when memory ran out.
  bool Resize(std::size_t n) {
    if (n == size_) return true;
    delete[] items_;
    items_ = n > 0 ? new (std::nothrow) T[n]() : nullptr;
    size_ = items_ != nullptr ? n : 0;
    return size_ == n;
  }
  T* data() { return items_; }
  const T* data() const { return items_; }
  std::size_t size() const { return size_; }
  T& operator[](std::size_t i) { return items_[i]; }

 private:
  T* items_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace kiv
