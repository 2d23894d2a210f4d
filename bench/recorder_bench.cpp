// SPDX-License-Identifier: MIT
// The GSM recorder's consumer: cost of one delivery (12 or 13 blocks
// encoded and written), as median and 99th percentile; and deliveries per
// second sustained end to end by an unpaced device.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "kivgsm.h"
#include "record/gsm_recorder.h"
#include "speech_input.h"

namespace {

using namespace kiv;
using Clock = std::chrono::steady_clock;

std::u16string TempPath(const char* tag) {
  std::string s = "/tmp/kivgsm-bench-" + std::to_string(getpid()) + tag;
  return std::u16string(s.begin(), s.end());
}

// A device that opens and accepts buffers but delivers nothing itself, so
// the benchmark can drive the consumer directly.
std::uint32_t QuietOpen(WaveInHandle* h, std::uint32_t, const WaveFormat*, WaveInCallback, std::uintptr_t,
                        std::uint32_t) {
  static int device;
  *h = &device;
  return 0;
}
std::uint32_t QuietBuffer(WaveInHandle, WaveInBuffer*, std::uint32_t) { return 0; }
std::uint32_t QuietDevice(WaveInHandle) { return 0; }
const WaveInOps kQuiet = {QuietOpen, QuietBuffer, QuietBuffer, QuietDevice, QuietDevice, QuietBuffer, QuietDevice,
                          nullptr};

void BM_GsmConsumerPerDelivery(benchmark::State& state) {
  std::vector<std::int16_t> speech = kiv::bench::RepeatedSpeech(120);
  std::vector<unsigned char> copy(16000, 0);
  SetWaveInOpsForTesting(&kQuiet);
  std::u16string path = TempPath("-consumer.wav");
  KivGSMSoundRecorderStart(path.c_str());
  GsmRecorder* r = TheGsmRecorder();
  std::vector<double> micros;
  std::size_t at = 0;
  for (auto _ : state) {
    state.PauseTiming();
    for (int i = 0; i < 4000; ++i) {
      auto v = static_cast<std::uint16_t>(speech[(at + i) % speech.size()]);
      copy[2 * i] = static_cast<unsigned char>(v);
      copy[2 * i + 1] = static_cast<unsigned char>(v >> 8);
    }
    at += 4000;
    state.ResumeTiming();
    auto t0 = Clock::now();
    GsmRecorderConsume(r, copy.data());
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  KivGSMSoundRecorderStop();
  SetWaveInOpsForTesting(nullptr);
  std::string p(path.begin(), path.end());
  unlink(p.c_str());
  std::sort(micros.begin(), micros.end());
  state.counters["median_us"] = micros[micros.size() / 2];
  state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
}
BENCHMARK(BM_GsmConsumerPerDelivery)->Iterations(2000)->Unit(benchmark::kMicrosecond);

// End to end with a device thread that delivers as soon as the buffer is
// queued again: the deliveries per second the GSM recorder sustains.
struct Flood {
  static inline std::atomic<bool> stop{false};
  static inline std::thread thread;
  static inline WaveInCallback callback;
  static inline WaveInBuffer* buffer;
  static inline std::atomic<bool> queued{false};
  static inline std::atomic<std::uint64_t> delivered{0};
  static inline std::vector<std::int16_t> speech;  // what the device "hears"
  static std::uint32_t Open(WaveInHandle* h, std::uint32_t, const WaveFormat*, WaveInCallback cb, std::uintptr_t,
                            std::uint32_t) {
    static int device;
    *h = &device;
    callback = cb;
    return 0;
  }
  static std::uint32_t Add(WaveInHandle, WaveInBuffer* b, std::uint32_t) {
    buffer = b;
    queued.store(true, std::memory_order_release);
    return 0;
  }
  static std::uint32_t Start(WaveInHandle h) {
    stop = false;
    thread = std::thread([h] {
      while (!stop.load()) {
        if (queued.exchange(false, std::memory_order_acq_rel)) {
          std::size_t at = (delivered.load() * 4000) % (speech.size() - 4000);
          std::memcpy(buffer->data, &speech[at], 8000);
          callback(h, kWaveInDone, 0, reinterpret_cast<std::uintptr_t>(buffer), 0);
          delivered.fetch_add(1);
        }
      }
    });
    return 0;
  }
  static std::uint32_t Stop(WaveInHandle) {
    stop = true;
    if (thread.joinable()) thread.join();
    return 0;
  }
};
const WaveInOps kFlood = {Flood::Open, QuietBuffer, Flood::Add, Flood::Start, Flood::Stop, QuietBuffer, QuietDevice,
                          nullptr};

void BM_GsmRecorderUnpacedDeliveriesPerSecond(benchmark::State& state) {
  Flood::speech = kiv::bench::RepeatedSpeech(60);
  SetWaveInOpsForTesting(&kFlood);
  std::u16string path = TempPath("-flood.wav");
  double total_seconds = 0;
  std::uint64_t total = 0;
  for (auto _ : state) {
    std::uint64_t before = Flood::delivered.load();
    auto t0 = Clock::now();
    KivGSMSoundRecorderStart(path.c_str());
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    KivGSMSoundRecorderStop();
    total_seconds += std::chrono::duration<double>(Clock::now() - t0).count();
    total += Flood::delivered.load() - before;
  }
  SetWaveInOpsForTesting(nullptr);
  std::string p(path.begin(), path.end());
  unlink(p.c_str());
  state.counters["deliveries_per_s"] = static_cast<double>(total) / total_seconds;
}
BENCHMARK(BM_GsmRecorderUnpacedDeliveriesPerSecond)->Iterations(4)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
