// ALSA backend of the waveform-input layer.
//
// Device 0 is ALSA's "default" PCM (on PipeWire and PulseAudio systems, the
// user's microphone), opened for capture as S16_LE, mono, at the rate the
// format asks for; the plug layer converts whatever the hardware does.
//
// Threads: each open device owns one capture thread, started by open and
// joined by close. Only that thread reads from the PCM once input runs, so
// ALSA is never called from two threads at once. It fills the queued buffer
// and, when the buffer is full, calls the callback with kWaveInDone on that
// thread; callbacks therefore never overlap and may add the buffer again.
// While a buffer is handed back, ALSA's own ring (one second) keeps the
// incoming samples, so nothing is lost between deliveries.
//
// Stop asks the capture thread to drop the stream (never drain) and waits
// until it has done so; the thread returns the partly filled buffer through
// the callback first. Every wait of the thread is bounded (poll with a
// timeout), so a device that vanishes cannot hang Stop or close, and every
// wait is a real one: a wake-up that finds nothing to read is followed by
// a short sleep, never by another poll at once.
#include <alsa/asoundlib.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "record/wave_input.h"

namespace kiv {
namespace {

constexpr std::uint32_t kOk = 0;
constexpr std::uint32_t kError = 1;
constexpr std::uint32_t kInvalidHandle = 5;
constexpr int kPollTimeoutMs = 100;
constexpr int kIdleMs = 10;  // after a wake-up with nothing to read
constexpr unsigned kRingMicroseconds = 1000000;   // ALSA ring: one second
constexpr unsigned kPeriodMicroseconds = 50000;   // wake every 50 ms

enum class State { kIdle, kRunning, kStopRequested, kClosing };

struct AlsaDevice {
  snd_pcm_t* pcm = nullptr;
  WaveInCallback callback = nullptr;
  std::uintptr_t user = 0;
  unsigned frame_bytes = 2;
  snd_pcm_uframes_t period = 0, ring = 0;
  int wake_fd = -1;
  std::vector<pollfd> fds;  // wake_fd, then the PCM's descriptors
  std::thread thread;
  std::mutex mutex;
  std::condition_variable changed;
  State state = State::kIdle;
  std::deque<WaveInBuffer*> queue;  // added, not yet handed back
  std::uint32_t filled = 0;         // bytes in queue.front()
  std::atomic<std::uint64_t> overruns{0};
  std::atomic<bool> failed{false};  // the stream could not be recovered
};

AlsaDevice* Cast(WaveInHandle h) { return static_cast<AlsaDevice*>(h); }

void Wake(AlsaDevice* d) {
  std::uint64_t one = 1;
  ssize_t ignored = ::write(d->wake_fd, &one, sizeof one);
  (void)ignored;
}

// Hands the front buffer back through the callback, without the lock.
void Deliver(AlsaDevice* d, std::unique_lock<std::mutex>& lock) {
  WaveInBuffer* b = d->queue.front();
  d->queue.pop_front();
  b->bytes_recorded = d->filled;
  b->flags |= kWaveInBufferDoneFlag;
  d->filled = 0;
  lock.unlock();
  d->callback(d, kWaveInDone, d->user, reinterpret_cast<std::uintptr_t>(b), 0);
  lock.lock();
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

// One bounded wait for input, then one read into the front buffer.
void ReadSome(AlsaDevice* d, WaveInBuffer* b, std::uint32_t* filled) {
  std::vector<pollfd>& fds = d->fds;
  unsigned n = static_cast<unsigned>(fds.size() - 1);
  if (n > 0) snd_pcm_poll_descriptors(d->pcm, fds.data() + 1, n);
  fds[0] = {d->wake_fd, POLLIN, 0};
  if (::poll(fds.data(), fds.size(), kPollTimeoutMs) <= 0) return;
  if (fds[0].revents & POLLIN) {
    DrainWake(d);
    return;  // a state change: let the loop look at it first
  }
  unsigned short revents = 0;
  if (n > 0) snd_pcm_poll_descriptors_revents(d->pcm, fds.data() + 1, n, &revents);
  if ((revents & (POLLIN | POLLERR)) == 0) {
    Idle(d, kIdleMs);
    return;
  }
  snd_pcm_uframes_t want = (b->buffer_length - *filled) / d->frame_bytes;
  snd_pcm_sframes_t got = snd_pcm_readi(d->pcm, b->data + *filled, want);
  if (got == -EAGAIN || got == 0) {
    Idle(d, kIdleMs);
    return;
  }
  if (got < 0) {
    // Overrun (-EPIPE) or suspend (-ESTRPIPE): recover and carry on; the
    // samples lost in the gap are not replaced by anything.
    if (snd_pcm_recover(d->pcm, static_cast<int>(got), 1) == 0) {
      ++d->overruns;
      if (snd_pcm_state(d->pcm) == SND_PCM_STATE_PREPARED) snd_pcm_start(d->pcm);
    } else {
      d->failed = true;
    }
    return;
  }
  *filled += static_cast<std::uint32_t>(got) * d->frame_bytes;
}

void CaptureThread(AlsaDevice* d) {
  std::unique_lock<std::mutex> lock(d->mutex);
  for (;;) {
    if (d->state == State::kClosing) return;
    if (d->state == State::kStopRequested) {
      snd_pcm_drop(d->pcm);
      if (!d->queue.empty()) Deliver(d, lock);
      d->state = State::kIdle;
      d->changed.notify_all();
      continue;
    }
    if (d->state == State::kRunning && !d->queue.empty() && !d->failed) {
      WaveInBuffer* b = d->queue.front();
      std::uint32_t filled = d->filled;
      lock.unlock();
      ReadSome(d, b, &filled);
      lock.lock();
      d->filled = filled;
      if (d->state == State::kRunning && d->filled >= b->buffer_length) Deliver(d, lock);
      continue;
    }
    d->changed.wait_for(lock, std::chrono::milliseconds(kPollTimeoutMs));
  }
}

bool Configure(AlsaDevice* d, const WaveFormat* f) {
  snd_pcm_hw_params_t* hw;
  snd_pcm_hw_params_alloca(&hw);
  unsigned rate = f->samples_per_second;
  unsigned ring_us = kRingMicroseconds, period_us = kPeriodMicroseconds;
  int dir = 0;
  if (snd_pcm_hw_params_any(d->pcm, hw) < 0) return false;
  if (snd_pcm_hw_params_set_access(d->pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED) < 0) return false;
  if (snd_pcm_hw_params_set_format(d->pcm, hw, SND_PCM_FORMAT_S16_LE) < 0) return false;
  if (snd_pcm_hw_params_set_channels(d->pcm, hw, f->channels) < 0) return false;
  if (snd_pcm_hw_params_set_rate_near(d->pcm, hw, &rate, &dir) < 0) return false;
  snd_pcm_hw_params_set_buffer_time_near(d->pcm, hw, &ring_us, &dir);
  snd_pcm_hw_params_set_period_time_near(d->pcm, hw, &period_us, &dir);
  if (snd_pcm_hw_params(d->pcm, hw) < 0) return false;
  // Read back what was negotiated: a different rate would mislabel audio.
  unsigned got_rate = 0;
  snd_pcm_hw_params_get_rate(hw, &got_rate, &dir);
  snd_pcm_hw_params_get_period_size(hw, &d->period, &dir);
  snd_pcm_hw_params_get_buffer_size(hw, &d->ring);
  if (got_rate != f->samples_per_second) return false;
  d->frame_bytes = f->channels * 2u;
  return true;
}

std::uint32_t Open(WaveInHandle* handle, std::uint32_t device_id, const WaveFormat* f, WaveInCallback callback,
                   std::uintptr_t user, std::uint32_t flags) {
  if (handle == nullptr || f == nullptr || callback == nullptr || device_id != 0 ||
      flags != kWaveInCallbackFunction || f->format_tag != 1 || f->bits_per_sample != 16 || f->channels == 0) {
    return kError;
  }
  auto* d = new (std::nothrow) AlsaDevice;
  if (d == nullptr) return kError;
  if (snd_pcm_open(&d->pcm, "default", SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK) < 0) {
    delete d;
    return kError;
  }
  d->wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  // snd_pcm_hw_params leaves the PCM prepared. A second prepare is not
  // harmless: through the pulse plugin it leaves the poll descriptor
  // readable until the first data arrives.
  if (d->wake_fd < 0 || !Configure(d, f)) {
    if (d->wake_fd >= 0) ::close(d->wake_fd);
    snd_pcm_close(d->pcm);
    delete d;
    return kError;
  }
  d->callback = callback;
  d->user = user;
  try {
    int n = snd_pcm_poll_descriptors_count(d->pcm);
    d->fds.resize(1 + static_cast<std::size_t>(n > 0 ? n : 0));
    d->thread = std::thread(CaptureThread, d);
  } catch (...) {
    ::close(d->wake_fd);
    snd_pcm_close(d->pcm);
    delete d;
    return kError;
  }
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
  if (d->state == State::kClosing) return kError;
  b->flags &= ~kWaveInBufferDoneFlag;
  b->bytes_recorded = 0;
  d->queue.push_back(b);
  d->changed.notify_all();
  return kOk;
}

std::uint32_t Start(WaveInHandle h) {
  AlsaDevice* d = Cast(h);
  if (d == nullptr) return kInvalidHandle;
  std::lock_guard<std::mutex> lock(d->mutex);
  if (d->state == State::kRunning) return kOk;
  if (d->state != State::kIdle) return kError;
  // The capture thread is idle and does not touch the PCM now.
  if (snd_pcm_state(d->pcm) != SND_PCM_STATE_PREPARED && snd_pcm_prepare(d->pcm) < 0) return kError;
  if (snd_pcm_start(d->pcm) < 0) return kError;
  d->failed = false;
  d->state = State::kRunning;
  d->changed.notify_all();
  return kOk;
}

std::uint32_t Stop(WaveInHandle h) {
  AlsaDevice* d = Cast(h);
  if (d == nullptr) return kInvalidHandle;
  std::unique_lock<std::mutex> lock(d->mutex);
  if (d->state != State::kRunning) return kOk;
  d->state = State::kStopRequested;
  d->changed.notify_all();
  Wake(d);
  d->changed.wait(lock, [d] { return d->state != State::kStopRequested; });
  return kOk;
}

std::uint32_t Unprepare(WaveInHandle h, WaveInBuffer* b, std::uint32_t size) {
  AlsaDevice* d = Cast(h);
  if (d == nullptr || b == nullptr || size != kWaveInBufferHeaderSize) return kError;
  std::lock_guard<std::mutex> lock(d->mutex);
  for (WaveInBuffer* q : d->queue) {
    if (q == b) return kError;  // still queued
  }
  return kOk;
}

std::uint32_t Close(WaveInHandle h) {
  AlsaDevice* d = Cast(h);
  if (d == nullptr) return kInvalidHandle;
  Stop(h);
  {
    std::lock_guard<std::mutex> lock(d->mutex);
    d->state = State::kClosing;
    d->changed.notify_all();
  }
  Wake(d);
  d->thread.join();
  snd_pcm_close(d->pcm);
  ::close(d->wake_fd);
  d->callback(h, kWaveInClosed, d->user, 0, 0);
  delete d;
  return kOk;
}

std::uint64_t Overruns(WaveInHandle h) {
  AlsaDevice* d = Cast(h);
  return d->overruns.load();
}

const WaveInOps kOps = {Open, Prepare, Add, Start, Stop, Unprepare, Close, Overruns};

}  // namespace

const WaveInOps* PlatformWaveInOps() { return &kOps; }

}  // namespace kiv
