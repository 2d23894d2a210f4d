// SPDX-License-Identifier: MIT
// Backend for builds without audio input: no device can be opened.
#include "record/wave_input.h"

namespace kiv {
namespace {
constexpr std::uint32_t kNoDevice = 2;
std::uint32_t Open(WaveInHandle*, std::uint32_t, const WaveFormat*, WaveInCallback, std::uintptr_t, std::uint32_t) {
  return kNoDevice;
}
std::uint32_t Buffer(WaveInHandle, WaveInBuffer*, std::uint32_t) { return kNoDevice; }
std::uint32_t Device(WaveInHandle) { return kNoDevice; }
const WaveInOps kOps = {Open, Buffer, Buffer, Device, Device, Buffer, Device, nullptr};
}  // namespace

const WaveInOps* PlatformWaveInOps() { return &kOps; }

int AbandonedWaveInDevices() { return 0; }

}  // namespace kiv
