// SPDX-License-Identifier: MIT
// The capture channel driven through the fake waveform-input service.
#include "record/capture_channel.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "kivgsm.h"
#include "support/fake_wave_input.h"

namespace kiv {
namespace {

using test::FakeWaveInput;
using Op = FakeWaveInput::Op;
using namespace std::chrono_literals;

// What a test consumer saw. The channel calls it on the delivery thread.
struct Seen {
  std::vector<std::int16_t> samples;
  std::atomic<int> calls{0};
  std::atomic<bool> upper_half_zero{true};
  std::chrono::milliseconds sleep{0};
  std::atomic<bool> entered{false}, finished{false};
};

void Consume(void* owner, const unsigned char* copy) {
  auto* seen = static_cast<Seen*>(owner);
  seen->entered = true;
  for (std::uint32_t i = 0; i < kCaptureBufferBytes; i += 2)
    seen->samples.push_back(static_cast<std::int16_t>(copy[i] | (copy[i + 1] << 8)));
  for (std::uint32_t i = kCaptureBufferBytes; i < kCaptureCopyBytes; ++i)
    if (copy[i] != 0) seen->upper_half_zero = false;
  if (seen->sleep.count() > 0) std::this_thread::sleep_for(seen->sleep);
  seen->calls.fetch_add(1);
  seen->finished = true;
}

class CaptureChannelTest : public ::testing::Test {
 protected:
  CaptureChannel* Channel(Seen* seen, CaptureChannel* c = GsmCaptureChannel()) {
    c->consumer = Consume;
    c->owner = seen;
    c->duration = 0;
    return c;
  }
  // Every test stops what it started while its fake device still exists.
  void TearDown() override {
    EXPECT_FALSE(GsmCaptureChannel()->device_open);
    EXPECT_FALSE(PcmCaptureChannel()->device_open);
  }
};

TEST_F(CaptureChannelTest, OpensDeviceZeroForPcmAndQueuesOneBuffer) {
  FakeWaveInput fake({.max_deliveries = 0});
  Seen seen;
  ASSERT_EQ(CaptureChannelStart(Channel(&seen)), KIV_OK);
  CaptureChannelStop(GsmCaptureChannel());
  auto calls = fake.calls();
  EXPECT_EQ(fake.ops(), (std::vector<Op>{Op::kOpen, Op::kPrepare, Op::kAdd, Op::kStart, Op::kStop, Op::kUnprepare,
                                         Op::kClose}));
  const auto& open = calls[0];
  EXPECT_EQ(open.device_id, 0u);
  EXPECT_EQ(open.flags, 0x30000u);
  EXPECT_EQ(open.user, 0u);
  EXPECT_EQ(open.format.format_tag, 1);
  EXPECT_EQ(open.format.channels, 1);
  EXPECT_EQ(open.format.samples_per_second, 8000u);
  EXPECT_EQ(open.format.average_bytes_per_second, 16000u);
  EXPECT_EQ(open.format.block_align, 2);
  EXPECT_EQ(open.format.bits_per_sample, 16);
  EXPECT_EQ(open.format.extra_size, 0);
  for (int i : {1, 2, 5}) {
    EXPECT_EQ(calls[i].header_size, kWaveInBufferHeaderSize);
    EXPECT_EQ(calls[i].buffer_length, 8000u);
  }
  EXPECT_EQ(fake.open_devices(), 0);
}

struct StartFailure {
  const char* name;
  std::uint32_t fail_open;
  int fail_add;
  bool fail_start;
  std::int32_t result;
  std::vector<Op> ops;  // everything called on the device, Start and Stop
};

class CaptureChannelStartFailure : public CaptureChannelTest, public ::testing::WithParamInterface<StartFailure> {};

TEST_P(CaptureChannelStartFailure, ReturnsItsCodeAndStopReleasesWhatWasOpened) {
  const StartFailure& p = GetParam();
  FakeWaveInput fake({.fail_open = p.fail_open, .fail_add = p.fail_add, .fail_start = p.fail_start});
  Seen seen;
  EXPECT_EQ(CaptureChannelStart(Channel(&seen)), GetParam().result);
  CaptureChannelStop(GsmCaptureChannel());
  CaptureChannelStop(GsmCaptureChannel());  // a second Stop touches nothing
  EXPECT_EQ(fake.ops(), GetParam().ops);
  EXPECT_EQ(fake.open_devices(), 0);
  EXPECT_EQ(seen.calls, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, CaptureChannelStartFailure,
    ::testing::Values(
        StartFailure{"Open", 4, 0, false, KIV_ERR_DEVICE_OPEN, {Op::kOpen}},
        StartFailure{"Add", 0, 1, false, KIV_ERR_BUFFER_QUEUE,
                     {Op::kOpen, Op::kPrepare, Op::kAdd, Op::kStop, Op::kUnprepare, Op::kClose}},
        StartFailure{"Start", 0, 0, true, KIV_ERR_INPUT_START,
                     {Op::kOpen, Op::kPrepare, Op::kAdd, Op::kStart, Op::kStop, Op::kUnprepare, Op::kClose}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CaptureChannelTest, DeliveriesAreCopiedInOrderAndCountHalfSeconds) {
  FakeWaveInput fake({.max_deliveries = 5});
  Seen seen;
  ASSERT_EQ(CaptureChannelStart(Channel(&seen)), KIV_OK);
  ASSERT_TRUE(fake.WaitForDeliveries(5));
  CaptureChannelStop(GsmCaptureChannel());
  EXPECT_EQ(GsmCaptureChannel()->duration, 2.5f);
  ASSERT_EQ(seen.samples.size(), 5u * 4000);
  for (std::uint64_t n = 0; n < seen.samples.size(); ++n)
    ASSERT_EQ(seen.samples[n], static_cast<std::int16_t>(n * 7 + 3)) << n;
  EXPECT_TRUE(seen.upper_half_zero);
  // One initial queue and one re-queue per delivery.
  auto ops = fake.ops();
  EXPECT_EQ(std::count(ops.begin(), ops.end(), Op::kAdd), 6);
}

TEST_F(CaptureChannelTest, MessagesOtherThanBufferDoneChangeNothing) {
  FakeWaveInput fake({.max_deliveries = 0});
  Seen seen;
  ASSERT_EQ(CaptureChannelStart(Channel(&seen)), KIV_OK);
  for (std::uint32_t m : {kWaveInOpened, kWaveInClosed, 0x3C1u, 0u}) fake.SendMessage(m);
  EXPECT_EQ(seen.calls, 0);
  EXPECT_EQ(GsmCaptureChannel()->duration, 0.0f);
  CaptureChannelStop(GsmCaptureChannel());
  auto ops = fake.ops();
  EXPECT_EQ(std::count(ops.begin(), ops.end(), Op::kAdd), 1);
}

TEST_F(CaptureChannelTest, BufferReturnedInsideStopIsIgnoredWithoutDeadlock) {
  FakeWaveInput fake({.return_halted_in_stop = true, .max_deliveries = 2});
  Seen seen;
  ASSERT_EQ(CaptureChannelStart(Channel(&seen)), KIV_OK);
  ASSERT_TRUE(fake.WaitForDeliveries(2));
  CaptureChannelStop(GsmCaptureChannel());  // the halted buffer comes back in here
  EXPECT_EQ(seen.calls, 2);
  EXPECT_EQ(GsmCaptureChannel()->duration, 1.0f);
  auto ops = fake.ops();
  EXPECT_EQ(std::count(ops.begin(), ops.end(), Op::kAdd), 3);
}

TEST_F(CaptureChannelTest, DeliveryAfterTheStopFlagIsNeitherConsumedNorQueued) {
  FakeWaveInput fake({.max_deliveries = 0});
  Seen seen;
  CaptureChannel* c = Channel(&seen);
  ASSERT_EQ(CaptureChannelStart(c), KIV_OK);
  c->stop_flag.store(1);
  CaptureChannelOnMessage(c, c->device, kWaveInDone);
  EXPECT_EQ(seen.calls, 0);
  EXPECT_EQ(c->duration, 0.0f);
  CaptureChannelStop(c);
  auto ops = fake.ops();
  EXPECT_EQ(std::count(ops.begin(), ops.end(), Op::kAdd), 1);
}

TEST_F(CaptureChannelTest, FailedRequeueEndsDeliveriesAndStopStillWorks) {
  FakeWaveInput fake({.fail_add = 3});  // the second re-queue fails
  Seen seen;
  ASSERT_EQ(CaptureChannelStart(Channel(&seen)), KIV_OK);
  ASSERT_TRUE(fake.WaitForDeliveries(2));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(fake.deliveries(), 2u);
  CaptureChannelStop(GsmCaptureChannel());
  EXPECT_EQ(GsmCaptureChannel()->duration, 1.0f);
  EXPECT_EQ(fake.open_devices(), 0);
}

TEST_F(CaptureChannelTest, StopWaitsForASlowConsumer) {
  // A device whose close does not wait for its delivery thread: only the
  // channel's own wait holds Stop until the consumer has finished.
  FakeWaveInput fake({.max_deliveries = 1, .close_without_waiting = true});
  Seen seen;
  seen.sleep = 100ms;
  ASSERT_EQ(CaptureChannelStart(Channel(&seen)), KIV_OK);
  while (!seen.entered) std::this_thread::yield();
  CaptureChannelStop(GsmCaptureChannel());
  EXPECT_TRUE(seen.finished);
  EXPECT_EQ(GsmCaptureChannel()->duration, 0.5f);
}

TEST_F(CaptureChannelTest, PacedStopBetweenDeliveriesHoldsOnlyTheFirst) {
  FakeWaveInput fake({.paced = true});  // deliveries at 0.5 s and 1.0 s
  Seen seen;
  ASSERT_EQ(CaptureChannelStart(Channel(&seen)), KIV_OK);
  std::this_thread::sleep_for(750ms);
  CaptureChannelStop(GsmCaptureChannel());
  EXPECT_EQ(seen.calls, 1);
  EXPECT_EQ(GsmCaptureChannel()->duration, 0.5f);
}

TEST_F(CaptureChannelTest, MisuseNeverTouchesAClosedDevice) {
  FakeWaveInput fake;
  CaptureChannelStop(GsmCaptureChannel());  // never started
  EXPECT_TRUE(fake.ops().empty());
  Seen seen;
  ASSERT_EQ(CaptureChannelStart(Channel(&seen)), KIV_OK);
  ASSERT_EQ(CaptureChannelStart(GsmCaptureChannel()), KIV_OK);  // restarts cleanly
  CaptureChannelStop(GsmCaptureChannel());
  CaptureChannelStop(GsmCaptureChannel());
  auto ops = fake.ops();
  EXPECT_EQ(std::count(ops.begin(), ops.end(), Op::kOpen), 2);
  EXPECT_EQ(std::count(ops.begin(), ops.end(), Op::kClose), 2);
  EXPECT_EQ(fake.open_devices(), 0);
}

TEST_F(CaptureChannelTest, BothInstancesRunAtOnceIndependently) {
  FakeWaveInput fake({.max_deliveries = 3});
  Seen a, b;
  ASSERT_EQ(CaptureChannelStart(Channel(&a, GsmCaptureChannel())), KIV_OK);
  ASSERT_EQ(CaptureChannelStart(Channel(&b, PcmCaptureChannel())), KIV_OK);
  ASSERT_TRUE(fake.WaitForDeliveries(6));
  CaptureChannelStop(GsmCaptureChannel());
  CaptureChannelStop(PcmCaptureChannel());
  EXPECT_EQ(a.samples, b.samples);  // each device's stream starts at sample 0
  EXPECT_EQ(a.calls, 3);
  EXPECT_EQ(GsmCaptureChannel()->duration, 1.5f);
  EXPECT_EQ(PcmCaptureChannel()->duration, 1.5f);
}

TEST_F(CaptureChannelTest, ThousandStartStopCyclesUnpaced) {
  FakeWaveInput fake;
  for (int cycle = 0; cycle < 1000; ++cycle) {
    Seen seen;
    CaptureChannel* c = Channel(&seen);
    ASSERT_EQ(CaptureChannelStart(c), KIV_OK);
    if (cycle % 3 == 0) {
      std::uint64_t before = fake.deliveries();
      ASSERT_TRUE(fake.WaitForDeliveries(before + 1));
    }
    CaptureChannelStop(c);
    ASSERT_EQ(c->duration, 0.5f * static_cast<float>(seen.calls.load())) << cycle;
  }
  auto ops = fake.ops();
  EXPECT_EQ(std::count(ops.begin(), ops.end(), Op::kOpen), 1000);
  EXPECT_EQ(std::count(ops.begin(), ops.end(), Op::kClose), 1000);
  EXPECT_EQ(fake.open_devices(), 0);
}

}  // namespace
}  // namespace kiv
