// SPDX-License-Identifier: MIT
// ALSA backend of the waveform-input layer.
//
// Device 0 is ALSA's "default" PCM (on PipeWire and PulseAudio systems, the
// user's microphone), opened for capture as S16_LE, mono, at the rate the
// format asks for; the plug layer converts whatever the hardware does.
//
// Threads: each device owns one capture thread, started by open. That
// thread makes every ALSA call of the device, from snd_pcm_open to
// snd_pcm_close, so ALSA is never called from two threads at once and
// never from the caller's. It fills the queued buffer and, when the buffer
// is full, calls the callback with kWaveInDone on that thread; callbacks
// therefore never overlap and may add the buffer again. While a buffer is
// handed back, ALSA's own ring (one second) keeps the incoming samples, so
// nothing is lost between deliveries. Samples are read into a staging area
// of the device's own and copied into the caller's buffer under the lock.
//
// Open, start, stop and close post a request to the capture thread and
// wait for it, each for at most kServiceBound (stop and the close after it
// share one such wait). Stop drops the stream (never drains it); the thread
// returns the partly filled buffer through the callback first. The thread's
// own waits for input are bounded (poll with a timeout) and real: a wake-up
// that finds nothing to read is followed by a short sleep, never by another
// poll at once.
//
// A sound server that stops answering (a stopped PulseAudio daemon, a hung
// PipeWire, a remote server behind a dead network) leaves the thread inside
// ALSA for as long as the server is gone: the pulse plugin waits for the
// server without a time limit (in snd_pcm_open and snd_pcm_drop, among
// others). When a wait runs out, the caller writes the device off and
// returns. The device lets go of the queued buffers at once (they are not
// handed back, and no callback comes from it again); open and start report
// an error; stop returns as if the halt had worked, so the channel finishes
// its file from what was delivered before; close detaches the thread, which
// closes the PCM and frees the device by itself whenever ALSA returns. From
// then on the thread touches only the device and ALSA: the format was
// copied, the buffers were given back, and the library was pinned in memory
// before the device opened (KeepLibraryLoaded), so its code outlives any
// unload.
//
// A sound server that goes away mid-recording (killed, restarted, a
// PipeWire restarted on resume) ends the stream with an error that
// snd_pcm_recover cannot mend, or, now and then, with no error at all and
// no more data. Either way (no data for kStallBound counts too) the thread
// closes the PCM and opens and starts the default input again, with a gap
// between attempts that grows from 0.25 s to 2 s. A reopened input that
// brings no samples is lost again; the outage ends only when samples
// arrive, and after kReconnectFor of it the device delivers nothing more,
// as before. Once the input is back, the time it was gone, measured on the
// monotonic clock from the last samples that went out to the first new
// ones (those still in ALSA's ring included), is delivered as silence
// before them, so that the recording keeps the wall clock's time (within
// one capture period). The waits between attempts are woken by any
// request: stop and close stay bounded as in any other state.
//
// A later open is independent of a device still closing this way: it opens
// a PCM of its own, which works as soon as the server answers again and is
// written off in turn while it does not. At most kMaxAbandoned written-off
// devices wait at a time; while that many do, open fails at once rather
// than leave more threads behind.
#include <alloca.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>

#include "platform/alsa_library.h"
#include "platform/nothrow_array.h"
#include "platform/wave_buffer_queue.h"
#include "record/wave_input.h"

namespace kiv {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kOk = 0;
constexpr std::uint32_t kError = 1;
constexpr std::uint32_t kInvalidHandle = 5;
constexpr int kPollTimeoutMs = 100;
constexpr int kIdleMs = 10;  // after a wake-up with nothing to read
constexpr unsigned kRingMicroseconds = 1000000;   // ALSA ring: one second
constexpr unsigned kPeriodMicroseconds = 50000;   // wake every 50 ms
// How long a caller waits for the capture thread's ALSA work.
constexpr auto kServiceBound = std::chrono::seconds(2);
// What a close after a slow stop still waits, for a thread that is only late.
constexpr auto kCloseFloor = std::chrono::milliseconds(500);
constexpr int kMaxAbandoned = 4;
// Getting a lost input back (see the file comment).
constexpr auto kStallBound = std::chrono::seconds(4);
constexpr auto kFirstRetryGap = std::chrono::milliseconds(250);
constexpr auto kMostRetryGap = std::chrono::seconds(2);
constexpr auto kReconnectFor = std::chrono::seconds(60);

std::atomic<int> g_abandoned{0};  // written-off devices whose thread still runs

enum class State { kOpening, kIdle, kStartRequested, kRunning, kStopRequested, kClosing };

struct AlsaDevice {
  snd_pcm_t* pcm = nullptr;
  WaveFormat format{};
  WaveInCallback callback = nullptr;
  std::uintptr_t user = 0;
  unsigned frame_bytes = 2;
  snd_pcm_uframes_t ring = 0;
  int wake_fd = -1;
  NothrowArray<pollfd> fds;              // wake_fd, then the PCM's descriptors
  NothrowArray<unsigned char> staging;   // what one read brings, before it is copied
  pthread_t thread{};                    // a POSIX thread: starting one reports, never throws
  std::mutex mutex;
  std::condition_variable changed;
  State state = State::kOpening;
  bool delivering = false;               // the callback runs, without the lock
  bool written_off = false;              // a wait ran out; see the file comment
  bool abandoned = false;                // the thread frees the device itself
  bool finished = false;                 // the thread is done with ALSA
  Clock::time_point halt_deadline{};     // set by stop, shared by the close after it
  WaveBufferQueue queue;                 // added, not yet handed back
  std::uint32_t filled = 0;              // bytes in queue.front()
  std::atomic<std::uint64_t> overruns{0};
  std::atomic<bool> failed{false};       // the stream could not be recovered: the input is lost
  // Getting a lost input back: the capture thread's own, read and written
  // by it alone (with or without the lock).
  Clock::time_point waiting_since{};     // since a buffer waits for samples (not for the consumer)
  Clock::time_point last_data{};         // when samples last went out (or the stream started)
  Clock::time_point outage_began{};      // when the input was lost; cleared by samples read
  Clock::time_point retry_at{};
  Clock::time_point reopened_at{};       // when it was last opened again
  Clock::duration retry_gap{};
  bool gave_up = false;                  // lost for longer than kReconnectFor
  bool came_back = false;                // reopened; the first samples are still to come
  std::uint64_t silence_owed = 0;        // bytes of silence for the time the input was gone
  NothrowArray<unsigned char> held;      // the first samples after it, behind that silence:
  std::size_t held_from = 0;             // those still to go out are [held_from, held_to)
  std::size_t held_to = 0;
};

AlsaDevice* Cast(WaveInHandle h) { return static_cast<AlsaDevice*>(h); }

// Called only once Open has loaded libasound.
const AlsaLibrary& Alsa() { return *LoadAlsa(); }

void LoseInput(AlsaDevice* d, Clock::time_point now);

void Wake(AlsaDevice* d) {
  std::uint64_t one = 1;
  ssize_t ignored = ::write(d->wake_fd, &one, sizeof one);
  (void)ignored;
}

void FreeDevice(AlsaDevice* d) {
  if (d->wake_fd >= 0) ::close(d->wake_fd);
  delete d;
}

// Asks the thread for a new state (lock held).
void Post(AlsaDevice* d, State s) {
  d->state = s;
  d->changed.notify_all();
  Wake(d);
}

// Hands the front buffer back through the callback, without the lock.
void Deliver(AlsaDevice* d, std::unique_lock<std::mutex>& lock) {
  WaveInBuffer* b = d->queue.front();
  d->queue.pop_front();
  b->bytes_recorded = d->filled;
  b->flags |= kWaveInBufferDoneFlag;
  d->filled = 0;
  d->delivering = true;
  lock.unlock();
  d->callback(d, kWaveInDone, d->user, reinterpret_cast<std::uintptr_t>(b), 0);
  lock.lock();
  d->delivering = false;
  // The time the consumer took is not time the input owed samples.
  d->waiting_since = Clock::now();
  d->changed.notify_all();
}

// After a wait ran out (lock held): the device keeps no buffer of the
// caller's and calls the callback no more. A delivery already under way
// is waited for: it runs the caller's code, not ALSA's.
void WriteOff(AlsaDevice* d, std::unique_lock<std::mutex>& lock) {
  d->written_off = true;
  d->queue.clear();
  d->filled = 0;
  d->changed.notify_all();
  Wake(d);
  d->changed.wait(lock, [d] { return !d->delivering; });
}

// Ends the device's thread: joined and freed if it finishes by `deadline`,
// otherwise written off and detached, to free the device itself. The lock
// is released either way; `d` is not touched afterwards.
void EndThread(AlsaDevice* d, std::unique_lock<std::mutex>& lock, Clock::time_point deadline) {
  Post(d, State::kClosing);
  if (!d->changed.wait_until(lock, deadline, [d] { return d->finished; })) {
    WriteOff(d, lock);  // may let the lock go while a delivery ends
    if (!d->finished) {
      d->abandoned = true;
      g_abandoned.fetch_add(1);
      ::pthread_detach(d->thread);
      lock.unlock();  // from here on the device is the thread's (the library was pinned at open)
      return;
    }
  }
  lock.unlock();
  ::pthread_join(d->thread, nullptr);
  FreeDevice(d);
}

// Posts `request` and waits until the thread has taken it up; a thread
// that does not answer by `deadline` is written off. True if it answered.
bool Request(AlsaDevice* d, std::unique_lock<std::mutex>& lock, State request, Clock::time_point deadline) {
  Post(d, request);
  if (d->changed.wait_until(lock, deadline, [d, request] { return d->state != request; })) return true;
  WriteOff(d, lock);
  return false;
}

// Sleeps up to `ms` unless woken: the wait after a wake-up that brought
// nothing to read, so that a descriptor that stays readable with no data
// behind it (the pulse plugin before its first data) cannot make the
// thread spin.
void DrainWake(AlsaDevice* d) {
  std::uint64_t count;
  ssize_t ignored = ::read(d->wake_fd, &count, sizeof count);
  (void)ignored;
}

void Idle(AlsaDevice* d, int ms) {
  pollfd wake{d->wake_fd, POLLIN, 0};
  if (::poll(&wake, 1, ms) > 0) DrainWake(d);
}

// One bounded wait for input, then one read of at most `room` bytes into
// the staging area. Returns the bytes read.
std::uint32_t ReadSome(AlsaDevice* d, std::uint32_t room) {
  NothrowArray<pollfd>& fds = d->fds;
  unsigned n = static_cast<unsigned>(fds.size() - 1);
  if (n > 0) Alsa().snd_pcm_poll_descriptors(d->pcm, fds.data() + 1, n);
  fds[0] = {d->wake_fd, POLLIN, 0};
  const int ready = ::poll(fds.data(), fds.size(), kPollTimeoutMs);
  if (ready > 0 && (fds[0].revents & POLLIN)) {
    DrainWake(d);
    return 0;  // a state change: let the loop look at it first
  }
  unsigned short revents = 0;
  if (ready > 0 && n > 0) Alsa().snd_pcm_poll_descriptors_revents(d->pcm, fds.data() + 1, n, &revents);
  // A stream that its server left (killed, restarted) shows no event: the
  // pulse plugin says so only when asked what is available. The read below
  // then meets the error.
  if ((revents & (POLLIN | POLLERR | POLLHUP | POLLNVAL)) == 0 && Alsa().snd_pcm_avail(d->pcm) >= 0) {
    if (ready > 0) Idle(d, kIdleMs);
    return 0;
  }
  room = std::min<std::uint32_t>(room, static_cast<std::uint32_t>(d->staging.size()));
  snd_pcm_sframes_t got = Alsa().snd_pcm_readi(d->pcm, d->staging.data(), room / d->frame_bytes);
  if (got == -EAGAIN || got == 0) {
    Idle(d, kIdleMs);
    return 0;
  }
  if (got < 0) {
    // Overrun (-EPIPE) or suspend (-ESTRPIPE): recover and carry on; the
    // samples lost in the gap are not replaced by anything.
    if (Alsa().snd_pcm_recover(d->pcm, static_cast<int>(got), 1) == 0 &&
        (Alsa().snd_pcm_state(d->pcm) != SND_PCM_STATE_PREPARED || Alsa().snd_pcm_start(d->pcm) >= 0)) {
      ++d->overruns;
    } else {
      LoseInput(d, Clock::now());
    }
    return 0;
  }
  return static_cast<std::uint32_t>(got) * d->frame_bytes;
}

bool Configure(AlsaDevice* d) {
  const WaveFormat* f = &d->format;
  const std::size_t hw_bytes = Alsa().snd_pcm_hw_params_sizeof();
  auto* hw = static_cast<snd_pcm_hw_params_t*>(alloca(hw_bytes));
  std::memset(hw, 0, hw_bytes);
  unsigned rate = f->samples_per_second;
  unsigned ring_us = kRingMicroseconds, period_us = kPeriodMicroseconds;
  int dir = 0;
  if (Alsa().snd_pcm_hw_params_any(d->pcm, hw) < 0) return false;
  if (Alsa().snd_pcm_hw_params_set_access(d->pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED) < 0) return false;
  if (Alsa().snd_pcm_hw_params_set_format(d->pcm, hw, SND_PCM_FORMAT_S16_LE) < 0) return false;
  if (Alsa().snd_pcm_hw_params_set_channels(d->pcm, hw, f->channels) < 0) return false;
  if (Alsa().snd_pcm_hw_params_set_rate_near(d->pcm, hw, &rate, &dir) < 0) return false;
  Alsa().snd_pcm_hw_params_set_buffer_time_near(d->pcm, hw, &ring_us, &dir);
  Alsa().snd_pcm_hw_params_set_period_time_near(d->pcm, hw, &period_us, &dir);
  if (Alsa().snd_pcm_hw_params(d->pcm, hw) < 0) return false;
  // Read back what was negotiated: a different rate would mislabel audio.
  unsigned got_rate = 0;
  Alsa().snd_pcm_hw_params_get_rate(hw, &got_rate, &dir);
  Alsa().snd_pcm_hw_params_get_buffer_size(hw, &d->ring);
  return got_rate == f->samples_per_second;
}

// The thread's part of open. snd_pcm_hw_params leaves the PCM prepared. A
// second prepare is not harmless: through the pulse plugin it leaves the
// poll descriptor readable until the first data arrives.
bool OpenPcm(AlsaDevice* d) {
  if (Alsa().snd_pcm_open(&d->pcm, "default", SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK) < 0) {
    d->pcm = nullptr;
    return false;
  }
  if (!Configure(d)) return false;
  const int n = Alsa().snd_pcm_poll_descriptors_count(d->pcm);
  const std::size_t bytes = std::max<std::size_t>(d->ring, 1) * d->frame_bytes;
  // Samples held behind an outage's silence are at most one read's.
  if (d->held.size() != bytes) d->held_from = d->held_to = 0;
  return d->fds.Resize(1 + static_cast<std::size_t>(n > 0 ? n : 0)) && d->staging.Resize(bytes) &&
         d->held.Resize(bytes);
}

bool StartPcm(AlsaDevice* d) {
  if (Alsa().snd_pcm_state(d->pcm) != SND_PCM_STATE_PREPARED && Alsa().snd_pcm_prepare(d->pcm) < 0) return false;
  return Alsa().snd_pcm_start(d->pcm) >= 0;
}

// The input is lost: attempts to get it back start shortly, and come
// further apart each time within one outage (a server that drops every new
// stream at once, or accepts it and sends nothing).
void LoseInput(AlsaDevice* d, Clock::time_point now) {
  d->failed = true;
  if (d->outage_began == Clock::time_point{}) {
    d->outage_began = now;
    d->retry_gap = kFirstRetryGap;
  } else {
    d->retry_gap = std::min<Clock::duration>(d->retry_gap * 2, kMostRetryGap);
  }
  d->retry_at = now + d->retry_gap;
}

// One step of getting a lost input back, without the lock: until the next
// attempt is due it only waits, woken by any request; then it reopens and
// restarts the default input, and owes the time it was gone as silence.
void Reconnect(AlsaDevice* d) {
  const auto now = Clock::now();
  if (now - d->outage_began > kReconnectFor) {
    d->gave_up = true;
    return;
  }
  if (now < d->retry_at) {
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(d->retry_at - now).count();
    Idle(d, static_cast<int>(std::min<long long>(wait, kPollTimeoutMs)) + 1);
    return;
  }
  if (d->pcm != nullptr) Alsa().snd_pcm_close(d->pcm);
  d->pcm = nullptr;
  if (OpenPcm(d) && StartPcm(d)) {
    d->reopened_at = Clock::now();
    d->came_back = true;
    d->failed = false;
    return;
  }
  d->retry_gap = std::min<Clock::duration>(d->retry_gap * 2, kMostRetryGap);
  d->retry_at = Clock::now() + d->retry_gap;
}

std::uint32_t Owed(AlsaDevice* d, std::uint32_t room);

// The first `got` bytes read after the input came back (in the staging
// area): the time it was gone, up to these samples and those still in the
// ring behind them, is owed as silence before them. What goes out first.
std::uint32_t OweTheOutage(AlsaDevice* d, std::uint32_t got, std::uint32_t room) {
  d->came_back = false;
  const auto gone =
      std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - d->last_data).count();
  const auto most = std::chrono::duration_cast<std::chrono::microseconds>(kReconnectFor + 2 * kStallBound).count();
  const snd_pcm_sframes_t waiting = Alsa().snd_pcm_avail(d->pcm);
  const std::uint64_t frames =
      static_cast<std::uint64_t>(std::min(gone, most)) * d->format.samples_per_second / 1000000;
  const std::uint64_t arrived = got / d->frame_bytes + static_cast<std::uint64_t>(std::max<snd_pcm_sframes_t>(waiting, 0));
  if (frames <= arrived) return got;
  std::memcpy(d->held.data(), d->staging.data(), got);
  d->held_from = 0;
  d->held_to = got;
  d->silence_owed = (frames - arrived) * d->frame_bytes;
  return Owed(d, room);
}

// What goes out before anything more is read: up to `room` bytes of the
// silence owed for an outage, then of the samples held behind it, into the
// staging area as a read would bring them. 0 when nothing is owed.
std::uint32_t Owed(AlsaDevice* d, std::uint32_t room) {
  room = std::min<std::uint32_t>(room, static_cast<std::uint32_t>(d->staging.size()));
  if (d->silence_owed > 0) {
    const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(room, d->silence_owed));
    std::memset(d->staging.data(), 0, n);
    d->silence_owed -= n;
    return n;
  }
  const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(room, d->held_to - d->held_from));
  std::memcpy(d->staging.data(), d->held.data() + d->held_from, n);
  d->held_from += n;
  return n;
}

// The loop of an open device, until it closes or is written off. ALSA is
// called without the lock, so that a caller whose wait runs out can take
// the lock and write the device off while ALSA still holds the thread.
void Run(AlsaDevice* d) {
  std::unique_lock<std::mutex> lock(d->mutex);
  for (;;) {
    if (d->state == State::kClosing || d->written_off) return;
    if (d->state == State::kStartRequested) {
      lock.unlock();
      // A stop during an outage may have left no PCM to start.
      bool ok = (d->pcm != nullptr || OpenPcm(d)) && StartPcm(d);
      lock.lock();
      if (d->written_off) return;
      d->failed = false;
      d->gave_up = false;
      d->silence_owed = 0;
      d->held_from = d->held_to = 0;
      d->came_back = false;
      d->outage_began = d->reopened_at = Clock::time_point{};
      d->last_data = d->waiting_since = Clock::now();
      d->state = ok ? State::kRunning : State::kIdle;
      d->changed.notify_all();
      continue;
    }
    if (d->state == State::kStopRequested) {
      lock.unlock();
      if (d->pcm != nullptr) Alsa().snd_pcm_drop(d->pcm);
      lock.lock();
      if (d->written_off) return;
      if (!d->queue.empty()) Deliver(d, lock);
      d->state = State::kIdle;
      d->changed.notify_all();
      continue;
    }
    if (d->state == State::kRunning && !d->queue.empty() && !d->gave_up) {
      const auto now = Clock::now();
      const auto since = std::max({d->last_data, d->waiting_since, d->reopened_at});
      if (!d->failed && now - since > kStallBound) LoseInput(d, now);
      const bool lost = d->failed;
      const bool owed = d->silence_owed > 0 || d->held_from != d->held_to;
      std::uint32_t room = d->queue.front()->buffer_length - d->filled;
      lock.unlock();
      std::uint32_t got = 0;
      if (lost) {
        Reconnect(d);
      } else if (owed) {
        got = Owed(d, room);
      } else if ((got = ReadSome(d, room)) > 0) {
        d->outage_began = Clock::time_point{};  // samples arrive: no outage goes on
        if (d->came_back) got = OweTheOutage(d, got, room);
      }
      lock.lock();
      if (got > 0) d->last_data = d->waiting_since = Clock::now();
      // Only this thread takes buffers off the queue, and a write-off
      // empties it: a buffer still at the front is the one read for.
      if (got == 0 || d->written_off || d->queue.empty()) continue;
      WaveInBuffer* b = d->queue.front();
      std::memcpy(b->data + d->filled, d->staging.data(), got);
      d->filled += got;
      if (d->state == State::kRunning && d->filled >= b->buffer_length) Deliver(d, lock);
      continue;
    }
    d->changed.wait_for(lock, std::chrono::milliseconds(kPollTimeoutMs));
  }
}

void CaptureThread(AlsaDevice* d) {
  bool opened = OpenPcm(d);
  {
    std::lock_guard<std::mutex> lock(d->mutex);
    if (d->state == State::kOpening) d->state = opened ? State::kIdle : State::kClosing;
    d->changed.notify_all();
  }
  if (opened) Run(d);
  if (d->pcm != nullptr) Alsa().snd_pcm_close(d->pcm);
  bool abandoned;
  {
    std::lock_guard<std::mutex> lock(d->mutex);
    d->finished = true;
    abandoned = d->abandoned;
    d->changed.notify_all();
  }
  if (abandoned) {
    FreeDevice(d);
    g_abandoned.fetch_sub(1);
  }
}

void* CaptureThreadMain(void* device) {
  CaptureThread(static_cast<AlsaDevice*>(device));
  return nullptr;
}

std::uint32_t Open(WaveInHandle* handle, std::uint32_t device_id, const WaveFormat* f, WaveInCallback callback,
                   std::uintptr_t user, std::uint32_t flags) {
  if (handle == nullptr || f == nullptr || callback == nullptr || device_id != 0 ||
      flags != kWaveInCallbackFunction || f->format_tag != 1 || f->bits_per_sample != 16 || f->channels == 0) {
    return kError;
  }
  if (g_abandoned.load() >= kMaxAbandoned || LoadAlsa() == nullptr) return kError;
  auto* d = new (std::nothrow) AlsaDevice;
  if (d == nullptr) return kError;
  d->format = *f;
  d->frame_bytes = f->channels * 2u;
  d->callback = callback;
  d->user = user;
  d->wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (d->wake_fd < 0) {
    FreeDevice(d);
    return kError;
  }
  if (::pthread_create(&d->thread, nullptr, CaptureThreadMain, d) != 0) {
    FreeDevice(d);
    return kError;
  }
  auto deadline = Clock::now() + kServiceBound;
  std::unique_lock<std::mutex> lock(d->mutex);
  bool answered = d->changed.wait_until(lock, deadline, [d] { return d->state != State::kOpening; });
  // The thread leaves kOpening for kIdle only once the PCM is open and
  // configured.
  if (!answered || d->state != State::kIdle) {
    // A failed open may still be closing its PCM: give it what is left.
    EndThread(d, lock, answered ? std::max(deadline, Clock::now() + kCloseFloor) : Clock::now());
    return kError;
  }
  lock.unlock();
  *handle = d;
  callback(d, kWaveInOpened, user, 0, 0);
  return kOk;
}

std::uint32_t Prepare(WaveInHandle h, WaveInBuffer* b, std::uint32_t size) {
  if (h == nullptr || b == nullptr || size != kWaveInBufferHeaderSize) return kError;
  b->flags &= ~kWaveInBufferDoneFlag;
  return kOk;
}

std::uint32_t Add(WaveInHandle h, WaveInBuffer* b, std::uint32_t size) {
  AlsaDevice* d = Cast(h);
  if (d == nullptr || b == nullptr || size != kWaveInBufferHeaderSize || b->data == nullptr ||
      b->buffer_length < d->frame_bytes) {
    return kError;
  }
  std::lock_guard<std::mutex> lock(d->mutex);
  if (d->state == State::kClosing || d->written_off) return kError;
  b->flags &= ~kWaveInBufferDoneFlag;
  b->bytes_recorded = 0;
  if (!d->queue.push_back(b)) return kError;
  d->changed.notify_all();
  return kOk;
}

std::uint32_t Start(WaveInHandle h) {
  AlsaDevice* d = Cast(h);
  if (d == nullptr) return kInvalidHandle;
  std::unique_lock<std::mutex> lock(d->mutex);
  if (d->written_off) return kError;
  if (d->state == State::kRunning) return kOk;
  if (d->state != State::kIdle) return kError;
  if (!Request(d, lock, State::kStartRequested, Clock::now() + kServiceBound)) return kError;
  return d->state == State::kRunning ? kOk : kError;
}

std::uint32_t Stop(WaveInHandle h) {
  AlsaDevice* d = Cast(h);
  if (d == nullptr) return kInvalidHandle;
  std::unique_lock<std::mutex> lock(d->mutex);
  if (d->written_off || d->state != State::kRunning) return kOk;
  d->halt_deadline = Clock::now() + kServiceBound;
  Request(d, lock, State::kStopRequested, d->halt_deadline);
  return kOk;
}

std::uint32_t Unprepare(WaveInHandle h, WaveInBuffer* b, std::uint32_t size) {
  AlsaDevice* d = Cast(h);
  if (d == nullptr || b == nullptr || size != kWaveInBufferHeaderSize) return kError;
  std::lock_guard<std::mutex> lock(d->mutex);
  return d->queue.contains(b) ? kError : kOk;  // still queued
}

// Stop, then the end of the thread: within the stop's bound when a stop ran
// just before (a written-off device is not waited for again), within a
// bound of its own otherwise.
std::uint32_t Close(WaveInHandle h) {
  AlsaDevice* d = Cast(h);
  if (d == nullptr) return kInvalidHandle;
  Stop(h);
  WaveInCallback callback = d->callback;
  std::uintptr_t user = d->user;
  std::unique_lock<std::mutex> lock(d->mutex);
  auto now = Clock::now();
  auto deadline = d->halt_deadline == Clock::time_point{} ? now + kServiceBound
                                                          : std::max(d->halt_deadline, now + kCloseFloor);
  EndThread(d, lock, d->written_off ? now : deadline);
  callback(h, kWaveInClosed, user, 0, 0);
  return kOk;
}

std::uint64_t Overruns(WaveInHandle h) {
  AlsaDevice* d = Cast(h);
  return d->overruns.load();
}

const WaveInOps kOps = {Open, Prepare, Add, Start, Stop, Unprepare, Close, Overruns};

}  // namespace

int AbandonedWaveInDevices() { return g_abandoned.load(); }

const WaveInOps* PlatformWaveInOps() { return &kOps; }

}  // namespace kiv
