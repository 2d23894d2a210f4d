// SPDX-License-Identifier: MIT
// winmm backend of the waveform-input layer.
//
// Device 0 is the first waveIn device, opened for the channel's PCM format
// with its callback as a CALLBACK_FUNCTION (0x30000). Handles, buffer
// headers and messages are winmm's own: the layer's WaveInBuffer has
// WAVEHDR's layout, and the callback is called by winmm directly.
//
// Contract with the channel:
//  - Deliveries (WIM_DATA, 0x3C0) arrive on winmm's thread, one at a time.
//    The channel re-queues its buffer from inside the callback, as
//    long-lived Windows audio code does, although winmm documents that a
//    callback function should call no other wave function; the stop order
//    below is what makes that sound.
//  - WIM_OPEN and WIM_CLOSE, and the WIM_DATA of a buffer returned by a
//    reset, may arrive on the caller's thread inside waveInOpen, waveInReset
//    or waveInClose; the channel ignores them once its stop flag is up.
//  - Stop order: the channel raises its stop flag and calls `stop`, which
//    resets the device (every queued buffer comes back). A delivery already
//    running when the flag rose may still re-add the buffer after that
//    reset; the channel waits until no delivery is in progress and then
//    calls `unprepare`, which resets again when winmm reports the buffer
//    still queued (WAVERR_STILLPLAYING) and unprepares it. `close` does the
//    same for a device that still holds a buffer. Windows refuses to close
//    or unprepare while a buffer is queued, where Wine does not; every
//    step's result is checked here for that reason.
#include "platform/winmm_wave_input.h"

#include <atomic>
#include <cstddef>

#include "record/wave_input.h"

namespace kiv {
namespace {

static_assert(sizeof(WaveInBuffer) == sizeof(WAVEHDR));
static_assert(offsetof(WaveInBuffer, data) == offsetof(WAVEHDR, lpData));
static_assert(offsetof(WaveInBuffer, buffer_length) == offsetof(WAVEHDR, dwBufferLength));
static_assert(offsetof(WaveInBuffer, bytes_recorded) == offsetof(WAVEHDR, dwBytesRecorded));
static_assert(offsetof(WaveInBuffer, user) == offsetof(WAVEHDR, dwUser));
static_assert(offsetof(WaveInBuffer, flags) == offsetof(WAVEHDR, dwFlags));
static_assert(offsetof(WaveInBuffer, loops) == offsetof(WAVEHDR, dwLoops));
static_assert(offsetof(WaveInBuffer, link) == offsetof(WAVEHDR, lpNext));
static_assert(offsetof(WaveInBuffer, reserved) == offsetof(WAVEHDR, reserved));
static_assert(kWaveInDone == WIM_DATA && kWaveInOpened == WIM_OPEN && kWaveInClosed == WIM_CLOSE);
static_assert(kWaveInCallbackFunction == CALLBACK_FUNCTION);

const WinmmApi kWinmm = {waveInOpen, waveInPrepareHeader, waveInAddBuffer,  waveInStart,
                         waveInReset, waveInUnprepareHeader, waveInClose};
std::atomic<const WinmmApi*> g_api{&kWinmm};

const WinmmApi* Api() { return g_api.load(std::memory_order_acquire); }
HWAVEIN H(WaveInHandle h) { return static_cast<HWAVEIN>(h); }
LPWAVEHDR Hdr(WaveInBuffer* b) { return reinterpret_cast<LPWAVEHDR>(b); }

std::uint32_t Open(WaveInHandle* handle, std::uint32_t device_id, const WaveFormat* f, WaveInCallback callback,
                   std::uintptr_t user, std::uint32_t flags) {
  WAVEFORMATEX wfx{};
  wfx.wFormatTag = f->format_tag;
  wfx.nChannels = f->channels;
  wfx.nSamplesPerSec = f->samples_per_second;
  wfx.nAvgBytesPerSec = f->average_bytes_per_second;
  wfx.nBlockAlign = f->block_align;
  wfx.wBitsPerSample = f->bits_per_sample;
  wfx.cbSize = f->extra_size;
  HWAVEIN h = nullptr;
  MMRESULT r = Api()->open(&h, device_id, &wfx, reinterpret_cast<DWORD_PTR>(callback), user, flags);
  if (r == MMSYSERR_NOERROR) *handle = h;
  return r;
}

std::uint32_t Prepare(WaveInHandle h, WaveInBuffer* b, std::uint32_t size) { return Api()->prepare(H(h), Hdr(b), size); }

std::uint32_t Add(WaveInHandle h, WaveInBuffer* b, std::uint32_t size) { return Api()->add(H(h), Hdr(b), size); }

std::uint32_t Start(WaveInHandle h) { return Api()->start(H(h)); }

// Every queued buffer comes back, marked done.
std::uint32_t Stop(WaveInHandle h) { return Api()->reset(H(h)); }

std::uint32_t Unprepare(WaveInHandle h, WaveInBuffer* b, std::uint32_t size) {
  MMRESULT r = Api()->unprepare(H(h), Hdr(b), size);
  if (r == WAVERR_STILLPLAYING) {
    // A delivery re-added the buffer after the first reset.
    MMRESULT reset = Api()->reset(H(h));
    if (reset != MMSYSERR_NOERROR) return reset;
    r = Api()->unprepare(H(h), Hdr(b), size);
  }
  return r;
}

std::uint32_t Close(WaveInHandle h) {
  MMRESULT r = Api()->close(H(h));
  if (r == WAVERR_STILLPLAYING) {
    MMRESULT reset = Api()->reset(H(h));
    if (reset != MMSYSERR_NOERROR) return reset;
    r = Api()->close(H(h));
  }
  return r;
}

const WaveInOps kOps = {Open, Prepare, Add, Start, Stop, Unprepare, Close, nullptr};

}  // namespace

void SetWinmmApiForTesting(const WinmmApi* api) { g_api.store(api != nullptr ? api : &kWinmm); }

const WaveInOps* PlatformWaveInOps() { return &kOps; }

}  // namespace kiv
