// SPDX-License-Identifier: MIT
// The waveform-input layer: the platform's audio capture service, reached
// only through this table of operations. The core depends on nothing else;
// a backend (one file per platform) fills the table in and is chosen when
// the library is built. The values mirror the classic wave-in service: one
// buffer header per queued buffer, "buffer done" message 0x3C0 delivered
// to a callback function on a thread of the service.
//
// Contract every backend keeps:
//  - `open` returns 0 and fills in the handle, or nonzero and leaves nothing
//    open. The callback may be called from inside `open` and `close` with
//    kWaveInOpened / kWaveInClosed.
//  - Each added buffer is filled and handed back once, with kWaveInDone, on
//    a thread other than the caller's. Callbacks of one device never
//    overlap, and the callback may add a buffer again.
//  - `stop` halts input; the buffer being filled comes back through the
//    callback (possibly before `stop` returns, possibly on the caller's
//    thread), except from a device that a backend abandoned because its
//    service stopped answering: that one gives nothing back, and the
//    channel does not rely on it. No callback arrives after `close`
//    returns.
#pragma once

#include <cstdint>

namespace kiv {

inline constexpr std::uint32_t kWaveInOpened = 0x3BE;
inline constexpr std::uint32_t kWaveInClosed = 0x3BF;
inline constexpr std::uint32_t kWaveInDone = 0x3C0;
inline constexpr std::uint32_t kWaveInCallbackFunction = 0x30000;
inline constexpr std::uint32_t kWaveInBufferDoneFlag = 0x1;

struct WaveFormat {
  std::uint16_t format_tag;
  std::uint16_t channels;
  std::uint32_t samples_per_second;
  std::uint32_t average_bytes_per_second;
  std::uint16_t block_align;
  std::uint16_t bits_per_sample;
  std::uint16_t extra_size;
};

// The buffer header: the channel sets the first six fields; link and
// reserved belong to the service.
struct WaveInBuffer {
  unsigned char* data;
  std::uint32_t buffer_length;
  std::uint32_t bytes_recorded;
  std::uintptr_t user;
  std::uint32_t flags;
  std::uint32_t loops;
  WaveInBuffer* link;
  std::uintptr_t reserved;
};
inline constexpr std::uint32_t kWaveInBufferHeaderSize = sizeof(WaveInBuffer);

using WaveInHandle = void*;
using WaveInCallback = void (*)(WaveInHandle device, std::uint32_t message, std::uintptr_t user,
                                std::uintptr_t param1, std::uintptr_t param2);

struct WaveInOps {
  std::uint32_t (*open)(WaveInHandle* device, std::uint32_t device_id, const WaveFormat* format,
                        WaveInCallback callback, std::uintptr_t user, std::uint32_t flags);
  std::uint32_t (*prepare)(WaveInHandle device, WaveInBuffer* buffer, std::uint32_t header_size);
  std::uint32_t (*add)(WaveInHandle device, WaveInBuffer* buffer, std::uint32_t header_size);
  std::uint32_t (*start)(WaveInHandle device);
  std::uint32_t (*stop)(WaveInHandle device);
  std::uint32_t (*unprepare)(WaveInHandle device, WaveInBuffer* buffer, std::uint32_t header_size);
  std::uint32_t (*close)(WaveInHandle device);
  // Diagnostics, may be null: overruns recovered since open.
  std::uint64_t (*overruns)(WaveInHandle device);
};

// The backend built into this library.
const WaveInOps* PlatformWaveInOps();

// Devices written off because their audio service stopped answering, whose
// thread is still inside that service (they close themselves when it
// answers again).
int AbandonedWaveInDevices();

// The operations in use: the backend's, unless a test put others in place.
const WaveInOps* ActiveWaveInOps();
// Internal seam for tests (not exported): nullptr restores the backend.
void SetWaveInOpsForTesting(const WaveInOps* ops);

}  // namespace kiv
