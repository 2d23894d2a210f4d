// SPDX-License-Identifier: MIT
// Converter throughput on ten minutes of speech, against the limit: a bare
// in-memory libgsm WAV49 encode loop over the same samples. Both report
// "x_realtime", seconds of audio encoded per second of wall time. And the
// cost of one short file written to a new name.
#include <benchmark/benchmark.h>
#include <gsm.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "kivgsm.h"
#include "speech_input.h"

namespace {

constexpr double kSeconds = 600;

const std::vector<std::int16_t>& Speech() {
  static const std::vector<std::int16_t> s = kiv::bench::RepeatedSpeech(kSeconds);
  return s;
}

void BM_BareLibgsmWav49Loop(benchmark::State& state) {
  const auto& s = Speech();
  std::vector<gsm_signal> in(s.begin(), s.end());
  std::vector<gsm_byte> out(in.size() / 320 * 65);
  for (auto _ : state) {
    gsm g = gsm_create();
    int on = 1;
    gsm_option(g, GSM_OPT_WAV49, &on);
    for (std::size_t b = 0; b + 320 <= in.size(); b += 320) {
      gsm_byte* o = &out[b / 320 * 65];
      gsm_encode(g, &in[b], o);
      gsm_encode(g, &in[b + 160], o + 32);
    }
    gsm_destroy(g);
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["x_realtime"] = benchmark::Counter(kSeconds * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_BareLibgsmWav49Loop)->Unit(benchmark::kMillisecond)->UseRealTime();

std::u16string Widen(const std::string& s) { return std::u16string(s.begin(), s.end()); }

void BM_KivWave2GSM610(benchmark::State& state) {
  const auto& s = Speech();
  std::string dir = "/tmp/kivgsm-bench-" + std::to_string(getpid());
  std::string in = dir + ".raw", out = dir + ".wav";
  FILE* f = std::fopen(in.c_str(), "wb");
  std::fwrite(s.data(), 2, s.size(), f);
  std::fclose(f);
  std::u16string in16 = Widen(in), out16 = Widen(out);
  for (auto _ : state) {
    if (KivWave2GSM610(in16.c_str(), out16.c_str()) != KIV_OK) state.SkipWithError("conversion failed");
  }
  state.counters["x_realtime"] = benchmark::Counter(kSeconds * state.iterations(), benchmark::Counter::kIsRate);
  std::remove(in.c_str());
  std::remove(out.c_str());
}
BENCHMARK(BM_KivWave2GSM610)->Unit(benchmark::kMillisecond)->UseRealTime();

// One second to a name that does not exist yet, as a host converting one
// voicemail at a time does: the cost of a file, not of the audio (what it
// costs depends on the file system /tmp is on).
void BM_KivWave2GSM610OneSecondNewFile(benchmark::State& state) {
  const auto& s = Speech();
  std::string dir = "/tmp/kivgsm-bench-one-" + std::to_string(getpid());
  std::string in = dir + ".raw", out = dir + ".wav";
  FILE* f = std::fopen(in.c_str(), "wb");
  if (f == nullptr || std::fwrite(s.data(), 2, 8000, f) != 8000 || std::fclose(f) != 0) {
    state.SkipWithError("cannot write the input");
    return;
  }
  std::u16string in16 = Widen(in), out16 = Widen(out);
  for (auto _ : state) {
    state.PauseTiming();
    std::remove(out.c_str());
    state.ResumeTiming();
    if (KivWave2GSM610(in16.c_str(), out16.c_str()) != KIV_OK) state.SkipWithError("conversion failed");
  }
  std::remove(in.c_str());
  std::remove(out.c_str());
}
BENCHMARK(BM_KivWave2GSM610OneSecondNewFile)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
