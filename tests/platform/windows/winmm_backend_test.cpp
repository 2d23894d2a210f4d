// SPDX-License-Identifier: MIT
// The winmm backend's stop order, driven through the capture channel
// against a fake of winmm that keeps Windows' documented rules, which Wine
// does not: waveInUnprepareHeader and waveInClose fail with
// WAVERR_STILLPLAYING while a buffer is queued. As in Wine, deliveries come
// on a thread of the fake's, a reset hands queued buffers back on the
// caller's thread, and a reset does not wait for a delivery in progress.
// One call of the fake can be made to hang until released, as winmm's do
// while a sound server has stopped answering.
#include <gtest/gtest.h>

#include <cstdio>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <random>
#include <string>
#include <thread>

#include "kivgsm.h"
#include "platform/winmm_wave_input.h"
#include "record/capture_channel.h"

namespace kiv {
namespace {

using namespace std::chrono_literals;

struct FakeDevice {
  DWORD_PTR callback = 0;
  DWORD_PTR user = 0;
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<LPWAVEHDR> queue;
  bool running = false, closing = false;
  std::thread thread;
};

std::atomic<int> g_open{0}, g_refused_unprepare{0}, g_refused_close{0}, g_failed_close{0};

// The call that hangs, until Release().
enum class Hang { kNone, kOpen, kStart, kReset, kClose };
std::atomic<Hang> g_hang{Hang::kNone};
std::atomic<int> g_inside{0};  // fake calls in progress
std::mutex g_gate_mutex;
std::condition_variable g_gate;
bool g_released = false;

struct Inside {
  explicit Inside(Hang call) {
    ++g_inside;
    if (g_hang.load() != call) return;
    std::unique_lock<std::mutex> lock(g_gate_mutex);
    g_gate.wait(lock, [] { return g_released; });
  }
  ~Inside() { --g_inside; }
};
void Release() {
  std::lock_guard<std::mutex> lock(g_gate_mutex);
  g_released = true;
  g_gate.notify_all();
}

void Notify(FakeDevice* d, UINT message, LPWAVEHDR h) {
  auto proc = reinterpret_cast<void(CALLBACK*)(HWAVEIN, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR)>(d->callback);
  proc(reinterpret_cast<HWAVEIN>(d), message, d->user, reinterpret_cast<DWORD_PTR>(h), 0);
}

void Deliver(FakeDevice* d) {
  std::unique_lock<std::mutex> lock(d->mutex);
  while (!d->closing) {
    if (!d->running || d->queue.empty()) {
      d->changed.wait_for(lock, 5ms);
      continue;
    }
    LPWAVEHDR h = d->queue.front();
    d->queue.pop_front();
    h->dwBytesRecorded = h->dwBufferLength;
    h->dwFlags = (h->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
    lock.unlock();
    Notify(d, WIM_DATA, h);  // the channel re-adds from here
    std::this_thread::sleep_for(200us);
    lock.lock();
  }
}

MMRESULT WINAPI Open(LPHWAVEIN h, UINT, LPCWAVEFORMATEX, DWORD_PTR cb, DWORD_PTR user, DWORD flags) {
  Inside inside(Hang::kOpen);
  if (flags != CALLBACK_FUNCTION) return MMSYSERR_INVALPARAM;
  auto* d = new FakeDevice;
  d->callback = cb;
  d->user = user;
  d->thread = std::thread(Deliver, d);
  *h = reinterpret_cast<HWAVEIN>(d);
  ++g_open;
  Notify(d, WIM_OPEN, nullptr);
  return MMSYSERR_NOERROR;
}
FakeDevice* D(HWAVEIN h) { return reinterpret_cast<FakeDevice*>(h); }
MMRESULT WINAPI Prepare(HWAVEIN, LPWAVEHDR h, UINT) {
  h->dwFlags |= WHDR_PREPARED;
  return MMSYSERR_NOERROR;
}
MMRESULT WINAPI Add(HWAVEIN w, LPWAVEHDR h, UINT) {
  if (!(h->dwFlags & WHDR_PREPARED)) return WAVERR_UNPREPARED;
  std::lock_guard<std::mutex> lock(D(w)->mutex);
  h->dwFlags = (h->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
  D(w)->queue.push_back(h);
  D(w)->changed.notify_all();
  return MMSYSERR_NOERROR;
}
MMRESULT WINAPI Start(HWAVEIN w) {
  Inside inside(Hang::kStart);
  std::lock_guard<std::mutex> lock(D(w)->mutex);
  D(w)->running = true;
  D(w)->changed.notify_all();
  return MMSYSERR_NOERROR;
}
MMRESULT WINAPI Reset(HWAVEIN w) {
  Inside inside(Hang::kReset);
  std::deque<LPWAVEHDR> back;
  {
    std::lock_guard<std::mutex> lock(D(w)->mutex);
    D(w)->running = false;
    back.swap(D(w)->queue);
  }
  for (LPWAVEHDR h : back) {
    h->dwFlags = (h->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
    Notify(D(w), WIM_DATA, h);  // on the caller's thread
  }
  return MMSYSERR_NOERROR;
}
MMRESULT WINAPI Unprepare(HWAVEIN w, LPWAVEHDR h, UINT) {
  std::lock_guard<std::mutex> lock(D(w)->mutex);
  for (LPWAVEHDR q : D(w)->queue) {
    if (q == h) {
      ++g_refused_unprepare;
      return WAVERR_STILLPLAYING;
    }
  }
  h->dwFlags &= ~WHDR_PREPARED;
  return MMSYSERR_NOERROR;
}
MMRESULT WINAPI Close(HWAVEIN w) {
  Inside inside(Hang::kClose);
  FakeDevice* d = D(w);
  {
    std::lock_guard<std::mutex> lock(d->mutex);
    if (!d->queue.empty()) {
      ++g_refused_close;
      return WAVERR_STILLPLAYING;
    }
    d->closing = true;
  }
  d->thread.join();
  Notify(d, WIM_CLOSE, nullptr);
  delete d;
  --g_open;
  return MMSYSERR_NOERROR;
}
MMRESULT WINAPI FailOpen(LPHWAVEIN, UINT, LPCWAVEFORMATEX, DWORD_PTR, DWORD_PTR, DWORD) {
  return MMSYSERR_BADDEVICEID;
}

const WinmmApi kFake = {Open, Prepare, Add, Start, Reset, Unprepare, Close};

class WinmmBackend : public ::testing::Test {
 protected:
  void SetUp() override { SetWinmmApiForTesting(&kFake); }
  void TearDown() override { SetWinmmApiForTesting(nullptr); }
};

TEST_F(WinmmBackend, StopAlwaysLeavesTheDeviceClosedWhateverTheTiming) {
  CaptureChannel* c = GsmCaptureChannel();
  c->consumer = nullptr;
  std::mt19937 rng(5);
  for (int i = 0; i < 300; ++i) {
    ASSERT_EQ(CaptureChannelStart(c), KIV_OK) << i;
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 3000));
    CaptureChannelStop(c);
    ASSERT_EQ(g_open.load(), 0) << "a device was left open in cycle " << i;
  }
  std::printf("re-added after the reset: %d times; close refused: %d times\n", g_refused_unprepare.load(),
              g_refused_close.load());
  EXPECT_EQ(g_refused_close.load(), 0) << "close was tried with a buffer still queued";
}

TEST_F(WinmmBackend, NoCaptureDeviceGivesOne) {
  const WinmmApi none = {FailOpen, Prepare, Add, Start, Reset, Unprepare, Close};
  SetWinmmApiForTesting(&none);
  CaptureChannel* c = PcmCaptureChannel();
  EXPECT_EQ(CaptureChannelStart(c), KIV_ERR_DEVICE_OPEN);
  CaptureChannelStop(c);
  EXPECT_EQ(g_open.load(), 0);
}

// A sound server that stops answering inside one winmm call: Start and
// Stop each return within the bound (2 s, with room for a loaded machine),
// Start with the table's code; nothing reaches the channel after Stop has
// returned; and once the call returns, the written-off device closes
// itself.
struct HangCase {
  Hang call;
  std::int32_t start_result;
};
class WinmmHang : public WinmmBackend, public ::testing::WithParamInterface<HangCase> {};

std::atomic<int> g_consumed{0};
void CountDelivery(void*, const unsigned char*) { ++g_consumed; }

TEST_P(WinmmHang, StartAndStopStayBounded) {
  {
    std::lock_guard<std::mutex> lock(g_gate_mutex);
    g_released = false;
  }
  CaptureChannel* c = GsmCaptureChannel();
  c->consumer = CountDelivery;
  g_consumed = 0;
  g_hang = GetParam().call;
  const auto bound = 3s;
  auto began = std::chrono::steady_clock::now();
  EXPECT_EQ(CaptureChannelStart(c), GetParam().start_result);
  EXPECT_LT(std::chrono::steady_clock::now() - began, bound) << "Start";
  std::this_thread::sleep_for(50ms);
  began = std::chrono::steady_clock::now();
  CaptureChannelStop(c);
  EXPECT_LT(std::chrono::steady_clock::now() - began, bound) << "Stop";
  if (GetParam().call == Hang::kReset || GetParam().call == Hang::kClose) {
    EXPECT_GT(g_consumed.load(), 0) << "nothing was delivered before the hang";
  }
  const int consumed = g_consumed.load();
  Release();
  for (int i = 0; i < 500 && (g_inside.load() != 0 || g_open.load() != 0); ++i) std::this_thread::sleep_for(10ms);
  std::this_thread::sleep_for(100ms);
  g_hang = Hang::kNone;
  EXPECT_EQ(g_open.load(), 0) << "the written-off device was not closed once winmm answered";
  EXPECT_EQ(g_consumed.load(), consumed) << "a delivery reached the channel after Stop returned";
  c->consumer = nullptr;
}

std::string HangName(const ::testing::TestParamInfo<HangCase>& info) {
  static const char* const kNames[] = {"None", "Open", "Start", "Reset", "Close"};
  return kNames[static_cast<int>(info.param.call)];
}

INSTANTIATE_TEST_SUITE_P(Calls, WinmmHang,
                         ::testing::Values(HangCase{Hang::kOpen, KIV_ERR_DEVICE_OPEN},
                                           HangCase{Hang::kStart, KIV_ERR_INPUT_START},
                                           HangCase{Hang::kReset, KIV_OK}, HangCase{Hang::kClose, KIV_OK}),
                         HangName);

}  // namespace
}  // namespace kiv
