// SPDX-License-Identifier: MIT
// Which waveform-input operations the core uses.
#include <atomic>

#include "record/wave_input.h"

namespace kiv {
namespace {
std::atomic<const WaveInOps*> g_test_ops{nullptr};
}  // namespace

const WaveInOps* ActiveWaveInOps() {
  const WaveInOps* ops = g_test_ops.load(std::memory_order_acquire);
  return ops != nullptr ? ops : PlatformWaveInOps();
}

void SetWaveInOpsForTesting(const WaveInOps* ops) { g_test_ops.store(ops, std::memory_order_release); }

}  // namespace kiv
