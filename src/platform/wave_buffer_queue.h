// SPDX-License-Identifier: MIT
// The buffers added to an audio input and not yet handed back, oldest
// first, in fixed storage: adding one never allocates, so a device keeps
// working when memory has run out, and nothing here can throw. An input
// holds at most kCapacity buffers at once; the capture channel queues one.
#pragma once

#include <cstddef>

#include "record/wave_input.h"

namespace kiv {

class WaveBufferQueue {
 public:
  static constexpr std::size_t kCapacity = 16;

  bool empty() const { return count_ == 0; }
  WaveInBuffer* front() const { return items_[head_]; }
  void pop_front() {
    head_ = (head_ + 1) % kCapacity;
    --count_;
  }
  // False, and nothing queued, when the queue is full.
  bool push_back(WaveInBuffer* b) {
    if (count_ == kCapacity) return false;
    items_[(head_ + count_) % kCapacity] = b;
    ++count_;
    return true;
  }
  void clear() { head_ = count_ = 0; }
  // Takes `b` out wherever it stands; the others keep their order.
  void remove(const WaveInBuffer* b) {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < count_; ++i) {
      WaveInBuffer* item = items_[(head_ + i) % kCapacity];
      if (item != b) items_[(head_ + kept++) % kCapacity] = item;
    }
    count_ = kept;
  }
  bool contains(const WaveInBuffer* b) const {
    for (std::size_t i = 0; i < count_; ++i)
      if (items_[(head_ + i) % kCapacity] == b) return true;
    return false;
  }

 private:
  WaveInBuffer* items_[kCapacity] = {};
  std::size_t head_ = 0;
  std::size_t count_ = 0;
};

}  // namespace kiv
