// SPDX-License-Identifier: MIT
#include "support/fake_wave_input.h"

#include <algorithm>
#include <deque>
#include <thread>

namespace kiv::test {
namespace {
FakeWaveInput* g_fake = nullptr;
}  // namespace

struct FakeWaveInput::Device {
  FakeWaveInput* fake = nullptr;
  WaveInCallback callback = nullptr;
  std::uintptr_t user = 0;
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<WaveInBuffer*> queue;
  bool started = false;
  bool closing = false;
  bool detached = false;  // Close left the thread to end and delete this
  std::uint64_t next_sample = 0;
  std::uint64_t delivered = 0;
  std::chrono::steady_clock::time_point due;
  std::thread thread;
};

const WaveInOps FakeWaveInput::kOps = {Open, Prepare, Add, Start, Stop, Unprepare, Close, nullptr};

FakeWaveInput::FakeWaveInput(Options options) : options_(std::move(options)) {
  g_fake = this;
  SetWaveInOpsForTesting(&kOps);
}

FakeWaveInput::~FakeWaveInput() {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    detached_done_.wait(lock, [this] { return detached_ == 0; });
  }
  SetWaveInOpsForTesting(nullptr);
  g_fake = nullptr;
}

void FakeWaveInput::Record(Call call) {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.push_back(call);
}

std::vector<FakeWaveInput::Call> FakeWaveInput::calls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return calls_;
}

std::vector<FakeWaveInput::Op> FakeWaveInput::ops() const {
  std::vector<Op> out;
  for (const Call& c : calls()) out.push_back(c.op);
  return out;
}

int FakeWaveInput::open_devices() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(devices_.size());
}

bool FakeWaveInput::WaitForDeliveries(std::uint64_t n, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return delivered_.wait_for(lock, timeout, [&] { return deliveries_.load() >= n; });
}

void FakeWaveInput::SendMessage(std::uint32_t message) {
  std::vector<Device*> devices;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    devices.assign(devices_.begin(), devices_.end());
  }
  for (Device* d : devices) d->callback(d, message, d->user, 0, 0);
}

void FakeWaveInput::Run(Device* d) {
  const auto period = std::chrono::duration<double>(0.5 / options_.speed);
  std::unique_lock<std::mutex> lock(d->mutex);
  while (!d->closing) {
    bool ready = d->started && !d->queue.empty() && d->delivered < options_.max_deliveries;
    if (!ready) {
      d->changed.wait(lock);
      continue;
    }
    if (options_.paced && std::chrono::steady_clock::now() < d->due) {
      d->changed.wait_until(lock, d->due);
      continue;  // state may have changed while waiting
    }
    WaveInBuffer* b = d->queue.front();
    d->queue.pop_front();
    auto* samples = b->data;
    for (std::uint32_t i = 0; i + 1 < b->buffer_length; i += 2) {
      auto v = static_cast<std::uint16_t>(options_.signal(d->next_sample++));
      samples[i] = static_cast<unsigned char>(v);
      samples[i + 1] = static_cast<unsigned char>(v >> 8);
    }
    b->bytes_recorded = b->buffer_length;
    b->flags |= kWaveInBufferDoneFlag;
    d->due += std::chrono::duration_cast<std::chrono::steady_clock::duration>(period);
    ++d->delivered;
    lock.unlock();
    d->callback(d, kWaveInDone, d->user, reinterpret_cast<std::uintptr_t>(b), 0);
    {
      std::lock_guard<std::mutex> g(mutex_);
      deliveries_.fetch_add(1);
    }
    delivered_.notify_all();
    lock.lock();
  }
  if (d->detached) {
    lock.unlock();
    delete d;
    std::lock_guard<std::mutex> g(mutex_);
    --detached_;
    detached_done_.notify_all();
  }
}

std::uint32_t FakeWaveInput::Open(WaveInHandle* handle, std::uint32_t id, const WaveFormat* format,
                                  WaveInCallback callback, std::uintptr_t user, std::uint32_t flags) {
  FakeWaveInput* f = g_fake;
  Call call{Op::kOpen, f->options_.fail_open, id, *format, flags, user};
  f->Record(call);
  if (f->options_.fail_open != 0) return f->options_.fail_open;
  auto* d = new Device;
  d->fake = f;
  d->callback = callback;
  d->user = user;
  {
    std::lock_guard<std::mutex> lock(f->mutex_);
    f->devices_.push_back(d);
  }
  d->thread = std::thread([f, d] { f->Run(d); });
  *handle = d;
  callback(d, kWaveInOpened, user, 0, 0);
  return 0;
}

std::uint32_t FakeWaveInput::Prepare(WaveInHandle, WaveInBuffer* b, std::uint32_t size) {
  g_fake->Record({Op::kPrepare, 0, 0, {}, 0, 0, size, b->buffer_length});
  return 0;
}

std::uint32_t FakeWaveInput::Add(WaveInHandle h, WaveInBuffer* b, std::uint32_t size) {
  FakeWaveInput* f = g_fake;
  auto* d = static_cast<Device*>(h);
  int nth;
  {
    std::lock_guard<std::mutex> lock(f->mutex_);
    nth = ++f->adds_;
  }
  std::uint32_t rc = (nth == f->options_.fail_add) ? 1 : 0;
  f->Record({Op::kAdd, rc, 0, {}, 0, 0, size, b->buffer_length});
  if (rc != 0) return rc;
  std::lock_guard<std::mutex> lock(d->mutex);
  d->queue.push_back(b);
  d->changed.notify_all();
  return 0;
}

std::uint32_t FakeWaveInput::Start(WaveInHandle h) {
  FakeWaveInput* f = g_fake;
  auto* d = static_cast<Device*>(h);
  std::uint32_t rc = f->options_.fail_start ? 1 : 0;
  f->Record({Op::kStart, rc});
  if (rc != 0) return rc;
  std::lock_guard<std::mutex> lock(d->mutex);
  d->started = true;
  d->due = std::chrono::steady_clock::now() +
           std::chrono::duration_cast<std::chrono::steady_clock::duration>(
               std::chrono::duration<double>(0.5 / f->options_.speed));
  d->changed.notify_all();
  return 0;
}

std::uint32_t FakeWaveInput::Stop(WaveInHandle h) {
  FakeWaveInput* f = g_fake;
  auto* d = static_cast<Device*>(h);
  f->Record({Op::kStop, 0});
  std::unique_lock<std::mutex> lock(d->mutex);
  d->started = false;
  if (f->options_.return_halted_in_stop && !d->queue.empty()) {
    WaveInBuffer* b = d->queue.front();
    d->queue.pop_front();
    b->bytes_recorded = b->buffer_length / 3;  // partly filled
    b->flags |= kWaveInBufferDoneFlag;
    lock.unlock();
    d->callback(d, kWaveInDone, d->user, reinterpret_cast<std::uintptr_t>(b), 0);
  }
  return 0;
}

std::uint32_t FakeWaveInput::Unprepare(WaveInHandle, WaveInBuffer* b, std::uint32_t size) {
  g_fake->Record({Op::kUnprepare, 0, 0, {}, 0, 0, size, b->buffer_length});
  return 0;
}

std::uint32_t FakeWaveInput::Close(WaveInHandle h) {
  FakeWaveInput* f = g_fake;
  auto* d = static_cast<Device*>(h);
  f->Record({Op::kClose, 0});
  const bool wait = !f->options_.close_without_waiting;
  {
    std::lock_guard<std::mutex> lock(f->mutex_);
    f->devices_.remove(d);
    if (!wait) ++f->detached_;
  }
  WaveInCallback callback = d->callback;
  std::uintptr_t user = d->user;
  // Detached before it is told to close: once told, the thread may end and
  // delete `d` at any moment, thread object and all.
  if (!wait) d->thread.detach();
  {
    std::lock_guard<std::mutex> lock(d->mutex);
    d->closing = true;
    d->detached = !wait;
    d->changed.notify_all();
  }
  if (!wait) {
    callback(h, kWaveInClosed, user, 0, 0);  // `d` is the thread's now
    return 0;
  }
  d->thread.join();
  callback(d, kWaveInClosed, user, 0, 0);
  delete d;
  return 0;
}

}  // namespace kiv::test
