// SPDX-License-Identifier: MIT
// winmm backend of the waveform-input layer.
//
// Device 0 is the first waveIn device, opened for the channel's PCM format
// with a callback function (CALLBACK_FUNCTION) of this file's.
//
// Threads: each device owns one service thread, started by open. That
// thread makes the device's waveInOpen, waveInPrepareHeader, waveInStart,
// waveInReset, waveInUnprepareHeader and waveInClose, so that none of them
// runs on the caller's thread. Open, start, stop and close post a request
// to it and wait, each for at most kServiceBound (stop and the close after
// it share one such wait). winmm delivers on a thread of its own: the
// device's buffer (its own, of the length of the first buffer the channel
// prepares) is copied into the oldest buffer the channel added, and the
// channel's callback is called with that one, never two at once. The
// channel re-adds its buffer from inside the callback; the device then
// re-adds its own to winmm on that same thread, as long-lived Windows audio
// code does. A reset hands the device's buffer back (on the service
// thread, inside waveInReset, or on winmm's), and it is delivered like any
// other; the channel ignores it once its stop flag is up.
//
// A sound server that stops answering (winmm over PulseAudio or PipeWire
// under Wine, a remote desktop's audio) can keep waveInOpen, waveInReset or
// waveInClose from returning for as long as it is gone. When a wait runs
// out, the caller writes the device off and returns: the channel's buffers
// are let go at once (winmm only ever held the device's own), no callback
// comes from it again, open and start report an error, and stop returns
// as if the halt had worked, so that the channel finishes its file from
// what was delivered before. Close then leaves the device to its service
// thread, which resets, unprepares and closes it, and frees it, whenever
// winmm returns. The library was pinned in memory before the device opened
// (KeepLibraryLoaded), so that code outlives any unload. At most
// kMaxAbandoned such devices wait at a time; while that many do, open
// fails at once.
//
// Windows refuses to unprepare a buffer or close a device while a buffer
// is queued (WAVERR_STILLPLAYING), where Wine does not; the service resets
// again and retries in that case.
#include "platform/winmm_wave_input.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <new>

#include "platform/nothrow_array.h"
#include "platform/wave_buffer_queue.h"
#include "record/wave_input.h"

namespace kiv {
namespace {

using Clock = std::chrono::steady_clock;

static_assert(kWaveInDone == WIM_DATA && kWaveInOpened == WIM_OPEN && kWaveInClosed == WIM_CLOSE);
static_assert(kWaveInCallbackFunction == CALLBACK_FUNCTION);
static_assert(kWaveInBufferDoneFlag == WHDR_DONE);

// How long a caller waits for the service thread's winmm call.
constexpr auto kServiceBound = std::chrono::seconds(2);
// What a close after a slow stop still waits, for a thread that is only late.
constexpr auto kCloseFloor = std::chrono::milliseconds(500);
constexpr int kMaxAbandoned = 4;
// No answer from the service thread in time (not a winmm result).
constexpr MMRESULT kTimedOut = 0xFFFF;

const WinmmApi kWinmm = {waveInOpen, waveInPrepareHeader, waveInAddBuffer,  waveInStart,
                         waveInReset, waveInUnprepareHeader, waveInClose};
std::atomic<const WinmmApi*> g_api{&kWinmm};
std::atomic<int> g_abandoned{0};  // written-off devices whose service thread still runs

const WinmmApi* Api() { return g_api.load(std::memory_order_acquire); }

enum class Request { kNone, kOpen, kStart, kStop, kClose };

struct WinmmDevice {
  UINT device_id = 0;
  WAVEFORMATEX format{};
  WaveInCallback callback = nullptr;
  std::uintptr_t user = 0;
  HWAVEIN wave = nullptr;        // the service thread's, once open has worked
  HANDLE thread = nullptr;
  std::mutex mutex;
  std::condition_variable changed;
  Request request = Request::kNone;  // posted, not yet done
  MMRESULT result = MMSYSERR_NOERROR;
  bool running = false;          // started and not stopped: a re-added buffer goes to winmm
  bool in_winmm = false;         // own buffer queued in winmm
  bool prepared = false;         // own buffer prepared in winmm
  bool delivering = false;       // the channel's callback runs, without the lock
  int callbacks = 0;             // winmm's callbacks running (OnWinmm, whole)
  bool written_off = false;      // a wait ran out; see the file comment
  bool abandoned = false;        // the service thread frees the device itself
  bool finished = false;         // the service thread is done with winmm
  Clock::time_point halt_deadline{};  // set by stop, shared by the close after it
  WaveBufferQueue queue;         // the channel's buffers, added, not yet handed back
  NothrowArray<unsigned char> data;
  WAVEHDR own{};
};

WinmmDevice* Dev(WaveInHandle h) { return static_cast<WinmmDevice*>(h); }

// winmm's callback, on winmm's thread (or inside waveInReset on the
// service thread).
void CALLBACK OnWinmm(HWAVEIN, UINT message, DWORD_PTR instance, DWORD_PTR, DWORD_PTR) {
  if (message != WIM_DATA) return;
  WinmmDevice* d = reinterpret_cast<WinmmDevice*>(instance);
  std::unique_lock<std::mutex> lock(d->mutex);
  d->in_winmm = false;
  if (d->written_off || d->queue.empty()) {
    d->changed.notify_all();
    return;
  }
  ++d->callbacks;
  WaveInBuffer* b = d->queue.front();
  d->queue.pop_front();
  const std::uint32_t n = d->own.dwBytesRecorded < b->buffer_length ? d->own.dwBytesRecorded : b->buffer_length;
  std::memcpy(b->data, d->own.lpData, n);
  b->bytes_recorded = n;
  b->flags |= kWaveInBufferDoneFlag;
  d->delivering = true;
  lock.unlock();
  d->callback(d, kWaveInDone, d->user, reinterpret_cast<std::uintptr_t>(b), 0);
  lock.lock();
  d->delivering = false;
  // The channel re-added its buffer: the device's own goes back to winmm,
  // here on winmm's thread and outside the lock, so that a stop that writes
  // the device off never waits on winmm.
  const bool re_add = d->running && !d->written_off && !d->queue.empty() && !d->in_winmm;
  if (re_add) d->in_winmm = true;
  const HWAVEIN wave = d->wave;
  d->changed.notify_all();
  lock.unlock();
  const bool re_added = !re_add || Api()->add(wave, &d->own, sizeof d->own) == MMSYSERR_NOERROR;
  lock.lock();
  if (!re_added) d->in_winmm = false;
  --d->callbacks;
  d->changed.notify_all();
}

MMRESULT Halt(WinmmDevice* d) {
  if (d->wave == nullptr) return MMSYSERR_NOERROR;
  return Api()->reset(d->wave);
}

// Releases the device's own buffer and closes winmm's device, resetting
// again where Windows reports a buffer still queued.
MMRESULT CloseWave(WinmmDevice* d) {
  if (d->wave == nullptr) return MMSYSERR_NOERROR;
  if (d->prepared) {
    MMRESULT r = Api()->unprepare(d->wave, &d->own, sizeof d->own);
    if (r == WAVERR_STILLPLAYING && Halt(d) == MMSYSERR_NOERROR) r = Api()->unprepare(d->wave, &d->own, sizeof d->own);
    if (r != MMSYSERR_NOERROR) return r;
    d->prepared = false;
  }
  MMRESULT r = Api()->close(d->wave);
  if (r == WAVERR_STILLPLAYING && Halt(d) == MMSYSERR_NOERROR) r = Api()->close(d->wave);
  if (r == MMSYSERR_NOERROR) d->wave = nullptr;
  return r;
}

MMRESULT Serve(WinmmDevice* d, Request request) {
  switch (request) {
    case Request::kOpen: {
      HWAVEIN wave = nullptr;
      MMRESULT r = Api()->open(&wave, d->device_id, &d->format, reinterpret_cast<DWORD_PTR>(OnWinmm),
                               reinterpret_cast<DWORD_PTR>(d), CALLBACK_FUNCTION);
      if (r == MMSYSERR_NOERROR) d->wave = wave;
      return r;
    }
    case Request::kStart: {
      MMRESULT r = Api()->prepare(d->wave, &d->own, sizeof d->own);
      if (r != MMSYSERR_NOERROR) return r;
      d->prepared = true;
      {
        std::lock_guard<std::mutex> lock(d->mutex);
        d->in_winmm = true;
      }
      r = Api()->add(d->wave, &d->own, sizeof d->own);
      if (r != MMSYSERR_NOERROR) {
        std::lock_guard<std::mutex> lock(d->mutex);
        d->in_winmm = false;
        return r;
      }
      return Api()->start(d->wave);
    }
    case Request::kStop:
      return Halt(d);
    case Request::kClose:
      return CloseWave(d);
    case Request::kNone:
      break;
  }
  return MMSYSERR_NOERROR;
}

// Frees the device once winmm has closed it and no callback of its runs;
// one that winmm would not close keeps pointing its callback here, and is
// left allocated. False when it was left.
bool FreeIfClosed(WinmmDevice* d, Clock::time_point deadline) {
  {
    std::unique_lock<std::mutex> lock(d->mutex);
    if (d->wave != nullptr || !d->changed.wait_until(lock, deadline, [d] { return d->callbacks == 0; }))
      return false;
  }
  delete d;
  return true;
}

DWORD WINAPI ServiceThread(void* arg) {
  WinmmDevice* d = static_cast<WinmmDevice*>(arg);
  std::unique_lock<std::mutex> lock(d->mutex);
  for (;;) {
    d->changed.wait(lock, [d] { return d->request != Request::kNone || d->abandoned; });
    if (d->request == Request::kNone) break;  // abandoned between requests
    const Request request = d->request;
    lock.unlock();
    const MMRESULT result = Serve(d, request);
    lock.lock();
    d->result = result;
    d->request = Request::kNone;
    d->changed.notify_all();
    if (request == Request::kClose || d->abandoned) break;
  }
  // Decided in the same locked section that published the last result:
  // whoever looks next sees either `finished` (and frees the device) or
  // `abandoned` already acted on here.
  const bool free_self = d->abandoned;
  d->finished = !free_self;
  d->changed.notify_all();
  lock.unlock();
  if (free_self) {
    // Written off: nobody waits for this device any more.
    Halt(d);
    CloseWave(d);
    FreeIfClosed(d, Clock::time_point::max());
    g_abandoned.fetch_sub(1);
  }
  return 0;
}

// Posts `request` and waits for it until `deadline`. kTimedOut when the
// service thread did not get to it or finish it in time.
MMRESULT Call(WinmmDevice* d, Request request, Clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(d->mutex);
  if (!d->changed.wait_until(lock, deadline, [d] { return d->request == Request::kNone; })) return kTimedOut;
  d->request = request;
  d->changed.notify_all();
  if (!d->changed.wait_until(lock, deadline, [d] { return d->request == Request::kNone; })) return kTimedOut;
  return d->result;
}

// Lets go of the channel's buffers and waits out a delivery in progress
// (the channel's callback, which makes no winmm call: OnWinmm re-adds the
// device's buffer only after it): from here on the device never calls
// back.
void WriteOff(WinmmDevice* d) {
  std::unique_lock<std::mutex> lock(d->mutex);
  d->written_off = true;
  d->running = false;
  d->queue.clear();
  d->changed.wait(lock, [d] { return !d->delivering; });
}

// Hands the device to its service thread, which frees it once winmm
// returns; or frees it here when the thread has already finished.
void Abandon(WinmmDevice* d) {
  WriteOff(d);
  const HANDLE thread = d->thread;
  std::unique_lock<std::mutex> lock(d->mutex);
  if (!d->finished) {
    d->abandoned = true;
    g_abandoned.fetch_add(1);
    d->changed.notify_all();
    lock.unlock();  // from here on the device may be gone
    CloseHandle(thread);
    return;
  }
  lock.unlock();
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  FreeIfClosed(d, Clock::now() + kCloseFloor);
}

std::uint32_t Open(WaveInHandle* handle, std::uint32_t device_id, const WaveFormat* f, WaveInCallback callback,
                   std::uintptr_t user, std::uint32_t flags) {
  if (flags != kWaveInCallbackFunction || callback == nullptr) return MMSYSERR_INVALPARAM;
  if (g_abandoned.load() >= kMaxAbandoned) return MMSYSERR_ALLOCATED;
  WinmmDevice* d = new (std::nothrow) WinmmDevice;
  if (d == nullptr) return MMSYSERR_NOMEM;
  d->format.wFormatTag = f->format_tag;
  d->format.nChannels = f->channels;
  d->format.nSamplesPerSec = f->samples_per_second;
  d->format.nAvgBytesPerSec = f->average_bytes_per_second;
  d->format.nBlockAlign = f->block_align;
  d->format.wBitsPerSample = f->bits_per_sample;
  d->format.cbSize = f->extra_size;
  d->device_id = device_id;
  d->callback = callback;
  d->user = user;
  d->thread = CreateThread(nullptr, 0, ServiceThread, d, 0, nullptr);
  if (d->thread == nullptr) {
    delete d;
    return MMSYSERR_NOMEM;
  }
  const MMRESULT r = Call(d, Request::kOpen, Clock::now() + kServiceBound);
  if (r != MMSYSERR_NOERROR) {
    // Refused, or no answer in time: either way the service thread closes
    // whatever winmm opened, and the device is freed.
    Abandon(d);
    return r;
  }
  *handle = d;
  return MMSYSERR_NOERROR;
}

// The device's own buffer takes the length of the channel's.
std::uint32_t Prepare(WaveInHandle h, WaveInBuffer* b, std::uint32_t) {
  WinmmDevice* d = Dev(h);
  std::lock_guard<std::mutex> lock(d->mutex);
  if (d->prepared || d->in_winmm) return d->data.size() == b->buffer_length ? MMSYSERR_NOERROR : WAVERR_STILLPLAYING;
  if (!d->data.Resize(b->buffer_length)) return MMSYSERR_NOMEM;
  d->own.lpData = reinterpret_cast<LPSTR>(d->data.data());
  d->own.dwBufferLength = b->buffer_length;
  return MMSYSERR_NOERROR;
}

std::uint32_t Add(WaveInHandle h, WaveInBuffer* b, std::uint32_t) {
  WinmmDevice* d = Dev(h);
  std::unique_lock<std::mutex> lock(d->mutex);
  if (d->written_off) return MMSYSERR_ERROR;
  if (d->data.size() == 0 || b->buffer_length > d->data.size()) return WAVERR_UNPREPARED;
  if (!d->queue.push_back(b)) return MMSYSERR_NOMEM;
  b->flags &= ~kWaveInBufferDoneFlag;
  // The device's own buffer goes to winmm at start, and after each
  // delivery (OnWinmm).
  return MMSYSERR_NOERROR;
}

std::uint32_t Start(WaveInHandle h) {
  WinmmDevice* d = Dev(h);
  {
    std::lock_guard<std::mutex> lock(d->mutex);
    if (d->written_off || d->data.size() == 0) return MMSYSERR_ERROR;
    d->running = true;
  }
  const MMRESULT r = Call(d, Request::kStart, Clock::now() + kServiceBound);
  if (r == kTimedOut) {
    WriteOff(d);
  } else if (r != MMSYSERR_NOERROR) {
    std::lock_guard<std::mutex> lock(d->mutex);
    d->running = false;
  }
  return r;
}

std::uint32_t Stop(WaveInHandle h) {
  WinmmDevice* d = Dev(h);
  {
    std::lock_guard<std::mutex> lock(d->mutex);
    d->running = false;
    d->halt_deadline = Clock::now() + kServiceBound;
    if (d->written_off) return MMSYSERR_NOERROR;
  }
  // No answer in time: as if halted; the file keeps what came before.
  if (Call(d, Request::kStop, d->halt_deadline) == kTimedOut) WriteOff(d);
  return MMSYSERR_NOERROR;
}

// The channel's buffer is let go of; winmm never held it.
std::uint32_t Unprepare(WaveInHandle h, WaveInBuffer* b, std::uint32_t) {
  WinmmDevice* d = Dev(h);
  std::lock_guard<std::mutex> lock(d->mutex);
  d->queue.remove(b);
  return MMSYSERR_NOERROR;
}

std::uint32_t Close(WaveInHandle h) {
  WinmmDevice* d = Dev(h);
  Clock::time_point deadline;
  bool written_off;
  {
    std::lock_guard<std::mutex> lock(d->mutex);
    d->running = false;
    written_off = d->written_off;
    const Clock::time_point floor = Clock::now() + kCloseFloor;
    deadline = d->halt_deadline > floor ? d->halt_deadline : floor;
    if (d->halt_deadline == Clock::time_point{}) deadline = Clock::now() + kServiceBound;
  }
  const MMRESULT r = written_off ? kTimedOut : Call(d, Request::kClose, deadline);
  if (r == kTimedOut || r != MMSYSERR_NOERROR) {
    Abandon(d);
    return r == kTimedOut ? MMSYSERR_NOERROR : r;
  }
  const HANDLE thread = d->thread;
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  FreeIfClosed(d, Clock::now() + kCloseFloor);
  return MMSYSERR_NOERROR;
}

const WaveInOps kOps = {Open, Prepare, Add, Start, Stop, Unprepare, Close, nullptr};

}  // namespace

void SetWinmmApiForTesting(const WinmmApi* api) { g_api.store(api != nullptr ? api : &kWinmm); }

const WaveInOps* PlatformWaveInOps() { return &kOps; }

int AbandonedWaveInDevices() { return g_abandoned.load(); }

}  // namespace kiv
