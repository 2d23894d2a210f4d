// SPDX-License-Identifier: MIT
// A fake waveform-input service for the core's tests. While an instance
// exists it is the active backend. Each opened device delivers on its own
// thread, paced in real time (or faster) or as fast as it is consumed, with
// scripted sample content; any one step can be made to fail; and every call
// made on it is recorded with its arguments.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <limits>
#include <list>
#include <mutex>
#include <vector>

#include "record/wave_input.h"

namespace kiv::test {

class FakeWaveInput {
 public:
  struct Options {
    // Paced: one buffer every (buffer bytes / 16000) s divided by `speed`.
    bool paced = false;
    double speed = 1.0;
    // Sample n of a device's stream (n counts from 0 at open).
    std::function<std::int16_t(std::uint64_t n)> signal = [](std::uint64_t n) {
      return static_cast<std::int16_t>(n * 7 + 3);
    };
    std::uint32_t fail_open = 0;   // nonzero: open returns this
    int fail_add = 0;              // the Nth add (counting from 1) fails
    bool fail_start = false;
    // Hand the halted buffer back from inside stop, on the caller's thread.
    bool return_halted_in_stop = false;
    // Deliveries per device stop after this many (the buffer stays queued).
    std::uint64_t max_deliveries = std::numeric_limits<std::uint64_t>::max();
    // Close returns at once, leaving a delivery in progress to finish on
    // its own thread, so that only the channel's own wait keeps Stop from
    // returning in the middle of one.
    bool close_without_waiting = false;
  };

  enum class Op { kOpen, kPrepare, kAdd, kStart, kStop, kUnprepare, kClose };
  struct Call {
    Op op;
    std::uint32_t result;
    std::uint32_t device_id = 0;
    WaveFormat format{};
    std::uint32_t flags = 0;
    std::uintptr_t user = 0;
    std::uint32_t header_size = 0;
    std::uint32_t buffer_length = 0;
  };

  explicit FakeWaveInput(Options options);
  FakeWaveInput() : FakeWaveInput(Options{}) {}
  ~FakeWaveInput();
  FakeWaveInput(const FakeWaveInput&) = delete;
  FakeWaveInput& operator=(const FakeWaveInput&) = delete;

  // Waits, at most `timeout`, until the devices made `n` deliveries in all.
  bool WaitForDeliveries(std::uint64_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10));
  std::uint64_t deliveries() const { return deliveries_.load(); }
  std::vector<Call> calls() const;
  std::vector<Op> ops() const;
  int open_devices() const;
  // Sends `message` to every open device's callback, on the caller's thread.
  void SendMessage(std::uint32_t message);

  struct Device;

 private:
  static std::uint32_t Open(WaveInHandle*, std::uint32_t, const WaveFormat*, WaveInCallback, std::uintptr_t,
                            std::uint32_t);
  static std::uint32_t Prepare(WaveInHandle, WaveInBuffer*, std::uint32_t);
  static std::uint32_t Add(WaveInHandle, WaveInBuffer*, std::uint32_t);
  static std::uint32_t Start(WaveInHandle);
  static std::uint32_t Stop(WaveInHandle);
  static std::uint32_t Unprepare(WaveInHandle, WaveInBuffer*, std::uint32_t);
  static std::uint32_t Close(WaveInHandle);
  static const WaveInOps kOps;
  void Record(Call call);
  void Run(Device* d);

  Options options_;
  mutable std::mutex mutex_;
  std::condition_variable delivered_;
  std::vector<Call> calls_;
  std::list<Device*> devices_;
  int adds_ = 0;
  int detached_ = 0;  // delivery threads that Close left running
  std::condition_variable detached_done_;
  std::atomic<std::uint64_t> deliveries_{0};
};

}  // namespace kiv::test
