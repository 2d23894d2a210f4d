// SPDX-License-Identifier: MIT
// The capture channel: keeps audio flowing from the first waveform-input
// device into one recorder, half a second at a time.
//
// It opens device 0 for 8000 Hz mono 16-bit PCM with a single 8000-byte
// buffer. Each time the device hands the buffer back full, the callback
// copies it into the first half of a 16000-byte copy area (the second half
// is never written and stays zero), queues the buffer again, calls the
// consumer with the copy and adds 0.5 s to the duration.
//
// Threads: Start and Stop run on the caller's thread, one caller at a time.
// The callback, the consumer and the duration update run on the service's
// delivery thread. The stop flag is the hand-over between the two: Stop
// raises it before halting the device, so a buffer returned by the halt is
// ignored, and after the halt Stop waits until no delivery is in progress,
// so that once Stop returns the consumer has finished and the duration is
// final. The wait is on a counter, polled, not a lock held across the halt, so a
// backend that returns the halted buffer synchronously from inside its
// stop (even on the caller's thread) cannot deadlock.
//
// The consumer must not block: the device refills the single buffer while
// it works on the copy, and must have it back within half a second.
#pragma once

#include <atomic>
#include <cstdint>

#include "record/wave_input.h"

namespace kiv {

inline constexpr std::uint32_t kCaptureBufferBytes = 8000;
inline constexpr std::uint32_t kCaptureCopyBytes = 16000;

using CaptureConsumer = void (*)(void* owner, const unsigned char* copy);

struct CaptureChannel {
  // Bound to this instance when it is defined.
  WaveInCallback callback;

  // Set by the owning recorder before Start.
  CaptureConsumer consumer = nullptr;
  void* owner = nullptr;
  // Seconds consumed; reset by the recorder, raised by the callback, final
  // once Stop has returned.
  float duration = 0;

  WaveInHandle device = nullptr;
  bool device_open = false;
  bool prepared = false;
  WaveInBuffer header{};
  std::atomic<std::uint32_t> stop_flag{0};
  std::atomic<std::uint32_t> deliveries_in_progress{0};
  std::atomic<std::uint64_t> deliveries{0};
  alignas(16) unsigned char buffer[kCaptureBufferBytes] = {};
  alignas(16) unsigned char copy[kCaptureCopyBytes] = {};
};

// The two module-level instances, one per recorder kind.
CaptureChannel* GsmCaptureChannel();
CaptureChannel* PcmCaptureChannel();

// Opens the device, queues the buffer and starts input. Returns KIV_OK, or
// KIV_ERR_DEVICE_OPEN, KIV_ERR_BUFFER_QUEUE or KIV_ERR_INPUT_START; what was
// opened then stays open until Stop. A Start on an instance whose device is
// still open first stops it.
std::int32_t CaptureChannelStart(CaptureChannel* channel);

// Raises the stop flag, halts input, waits for a delivery in progress, then
// releases the buffer and closes the device. Safe on an instance that was
// never started, already stopped, or whose Start failed.
void CaptureChannelStop(CaptureChannel* channel);

// In a child made by fork(): lets go of the parent's device without a call
// to it (its thread is not in this process), so that the channel can start
// afresh.
void CaptureChannelForget(CaptureChannel* channel);

// The callback's work, for the instance it is bound to.
void CaptureChannelOnMessage(CaptureChannel* channel, WaveInHandle device, std::uint32_t message);

}  // namespace kiv
