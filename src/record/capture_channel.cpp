// SPDX-License-Identifier: MIT
#include "record/capture_channel.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "formats/wave_format.h"
#include "kivgsm.h"
#include "record/library_lifetime.h"

namespace kiv {
namespace {

constexpr WaveFormat kFormat = {
    kWaveFormatPcm,
    kChannels,
    kSampleRate,
    kPcmBytesPerSecond,
    kChannels * kBytesPerSample,  // block alignment
    kBitsPerSample,
    0,  // extra format bytes
};

template <CaptureChannel* (*Instance)()>
void BoundCallback(WaveInHandle device, std::uint32_t message, std::uintptr_t, std::uintptr_t, std::uintptr_t) {
  CaptureChannelOnMessage(Instance(), device, message);
}

CaptureChannel g_gsm_channel{.callback = BoundCallback<GsmCaptureChannel>};
CaptureChannel g_pcm_channel{.callback = BoundCallback<PcmCaptureChannel>};

}  // namespace

CaptureChannel* GsmCaptureChannel() { return &g_gsm_channel; }
CaptureChannel* PcmCaptureChannel() { return &g_pcm_channel; }

std::int32_t CaptureChannelStart(CaptureChannel* c) {
  if (c->device_open) CaptureChannelStop(c);
  const WaveInOps* ops = ActiveWaveInOps();
  KeepLibraryLoaded();
  c->stop_flag.store(0);
  WaveInHandle device = nullptr;
  if (ops->open(&device, 0, &kFormat, c->callback, 0, kWaveInCallbackFunction) != 0) return KIV_ERR_DEVICE_OPEN;
  c->device = device;
  c->device_open = true;

  c->header.data = c->buffer;
  c->header.buffer_length = kCaptureBufferBytes;
  c->header.bytes_recorded = 0;
  c->header.user = 0;
  c->header.flags = 0;
  c->header.loops = 0;
  ops->prepare(c->device, &c->header, kWaveInBufferHeaderSize);
  c->prepared = true;
  if (ops->add(c->device, &c->header, kWaveInBufferHeaderSize) != 0) return KIV_ERR_BUFFER_QUEUE;
  if (ops->start(c->device) != 0) return KIV_ERR_INPUT_START;
  return KIV_OK;
}

void CaptureChannelForget(CaptureChannel* c) {
  c->stop_flag.store(1);
  c->deliveries_in_progress.store(0);
  c->device = nullptr;
  c->device_open = false;
  c->prepared = false;
}

void CaptureChannelStop(CaptureChannel* c) {
  c->stop_flag.store(1);
  if (!c->device_open) return;
  const WaveInOps* ops = ActiveWaveInOps();
  ops->stop(c->device);
  // A delivery that passed its flag test before the flag rose may still be
  // consuming; the file and duration are not final until it is done.
  // Polled rather than waited on with atomic wait/notify: libstdc++ 12's
  // wait can miss a notification where the platform has no futex
  // (mingw-w64), and the delivery thread must never block on anything of
  // Stop's. A delivery takes well under a millisecond.
  for (int spins = 0; c->deliveries_in_progress.load() != 0; ++spins) {
    if (spins < 64)
      std::this_thread::yield();
    else
      std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  if (c->prepared) ops->unprepare(c->device, &c->header, kWaveInBufferHeaderSize);
  c->prepared = false;
  ops->close(c->device);
  c->device = nullptr;
  c->device_open = false;
}

void CaptureChannelOnMessage(CaptureChannel* c, WaveInHandle device, std::uint32_t message) {
  if (message != kWaveInDone) return;
  // Announce the delivery before testing the flag: either Stop sees it and
  // waits, or this call sees the flag and leaves at once.
  c->deliveries_in_progress.fetch_add(1);
  if (c->stop_flag.load() == 0) {
    std::memcpy(c->copy, c->buffer, kCaptureBufferBytes);
    c->header.bytes_recorded = 0;
    ActiveWaveInOps()->add(device, &c->header, kWaveInBufferHeaderSize);
    if (c->consumer != nullptr) c->consumer(c->owner, c->copy);
    c->duration += 0.5f;
    c->deliveries.fetch_add(1, std::memory_order_relaxed);
  }
  c->deliveries_in_progress.fetch_sub(1);
}

}  // namespace kiv
