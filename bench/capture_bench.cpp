// SPDX-License-Identifier: MIT
// Cost of one delivery in the capture channel itself: the copy, the
// re-queue and the hand-off to a consumer that does nothing.
#include <benchmark/benchmark.h>

#include "record/capture_channel.h"

namespace {

using namespace kiv;

std::uint32_t Open(WaveInHandle* h, std::uint32_t, const WaveFormat*, WaveInCallback, std::uintptr_t, std::uint32_t) {
  static int device;
  *h = &device;
  return 0;
}
std::uint32_t Buffer(WaveInHandle, WaveInBuffer*, std::uint32_t) { return 0; }
std::uint32_t Device(WaveInHandle) { return 0; }
// A service that accepts everything and delivers nothing by itself.
const WaveInOps kQuietOps = {Open, Buffer, Buffer, Device, Device, Buffer, Device, nullptr};

void NoConsumer(void*, const unsigned char* copy) { benchmark::DoNotOptimize(copy[0]); }

void BM_CaptureDelivery(benchmark::State& state) {
  SetWaveInOpsForTesting(&kQuietOps);
  CaptureChannel* c = GsmCaptureChannel();
  c->consumer = NoConsumer;
  c->duration = 0;
  CaptureChannelStart(c);
  for (auto _ : state) CaptureChannelOnMessage(c, c->device, kWaveInDone);
  CaptureChannelStop(c);
  SetWaveInOpsForTesting(nullptr);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kCaptureBufferBytes);
}
BENCHMARK(BM_CaptureDelivery);

}  // namespace

BENCHMARK_MAIN();
