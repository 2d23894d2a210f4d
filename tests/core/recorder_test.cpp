// SPDX-License-Identifier: MIT
// Both recorders through their exported entry points, fed by the fake
// device, and through the internal seams where a fault or a size cannot be
// made real cheaply.
#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include "kivgsm.h"
#include "record/gsm_recorder.h"
#include "record/pcm_wave_recorder.h"
#include "support/fake_wave_input.h"
#include "support/fault_file_system.h"
#include "support/sparse_file_system.h"
#include "support/test_files.h"

namespace kiv {
namespace {

using test::Bytes;
using test::FakeWaveInput;
using test::Le32;
using test::Path16;

struct Kind {
  const char* name;
  int32_t(KIV_CALL* start)(const KivPathChar*);
  int32_t(KIV_CALL* stop)();
  std::size_t header_bytes;
};
const Kind kGsm{"Gsm", KivGSMSoundRecorderStart, KivGSMSoundRecorderStop, 60};
const Kind kPcm{"Pcm", KivGSMWAVSoundRecorderStart, KivGSMWAVSoundRecorderStop, 44};

std::int16_t FakeSample(std::uint64_t n) { return static_cast<std::int16_t>(n * 7 + 3); }

// What N deliveries of the fake's signal must give.
Bytes Expected(const Kind& k, std::uint64_t deliveries) {
  std::vector<std::int16_t> samples(deliveries * 4000);
  for (std::size_t n = 0; n < samples.size(); ++n) samples[n] = FakeSample(n);
  test::ScratchDir dir;
  if (&k == &kPcm) {
    Bytes b = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 16, 0, 0, 0, 1, 0, 1, 0,
               0x40, 0x1f, 0, 0, 0x80, 0x3e, 0, 0, 2, 0, 16, 0, 'd', 'a', 't', 'a', 0, 0, 0, 0};
    std::uint32_t data = static_cast<std::uint32_t>(samples.size() * 2);
    for (int i = 0; i < 4; ++i) {
      b[4 + i] = static_cast<unsigned char>((data + 36) >> (8 * i));
      b[40 + i] = static_cast<unsigned char>(data >> (8 * i));
    }
    Bytes pcm = test::ToBytes(samples);
    b.insert(b.end(), pcm.begin(), pcm.end());
    return b;
  }
  // GSM: the converter's output on the same samples, zero-padded to a block.
  samples.resize((samples.size() + 319) / 320 * 320, 0);
  test::WriteFile(dir.path("in.raw"), test::ToBytes(samples));
  EXPECT_EQ(KivWave2GSM610(Path16(dir.path("in.raw")).c_str(), Path16(dir.path("out.wav")).c_str()), KIV_OK);
  return test::ReadFile(dir.path("out.wav"));
}

class RecorderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The state both recorders have when the library is loaded.
    TheGsmRecorder()->size_value = 2000000;
    TheGsmRecorder()->sample_count = 2000160;
    TheGsmRecorder()->max_blocks = kMaxGsmBlocks;
    ThePcmWaveRecorder()->header = {};
    ThePcmWaveRecorder()->max_data_bytes = kMaxPcmDataBytes;
  }
  void TearDown() override {
    SetFileSystemForTesting(nullptr);
    EXPECT_EQ(TheGsmRecorder()->state, RecorderState::kIdle);
    EXPECT_EQ(ThePcmWaveRecorder()->state, RecorderState::kIdle);
  }
  // Records exactly `deliveries` deliveries into `name`.
  Bytes Record(const Kind& k, std::uint64_t deliveries, std::int32_t* stopped, const std::string& name = "rec.wav") {
    FakeWaveInput fake({.max_deliveries = deliveries});
    EXPECT_EQ(k.start(Path16(dir_.path(name)).c_str()), KIV_OK);
    EXPECT_TRUE(fake.WaitForDeliveries(deliveries));
    *stopped = k.stop();
    return test::ReadFile(dir_.path(name));
  }
  test::ScratchDir dir_;
};

struct Case {
  const Kind* kind;
  std::uint64_t deliveries;
};

class RecorderLength : public RecorderTest, public ::testing::WithParamInterface<Case> {};

TEST_P(RecorderLength, FileIsTheCapturedAudioAndStopReturnsWholeSeconds) {
  const Kind& k = *GetParam().kind;
  std::uint64_t n = GetParam().deliveries;
  std::int32_t seconds = -1;
  Bytes file = Record(k, n, &seconds);
  EXPECT_EQ(seconds, static_cast<std::int32_t>(n / 2));
  if (&k == &kGsm) {
    std::uint64_t blocks = (25 * n + 1) / 2;  // ceil(12.5 n)
    ASSERT_EQ(file.size(), 60 + 65 * blocks);
    EXPECT_EQ(Le32(file, 48), 320 * blocks);
  } else {
    ASSERT_EQ(file.size(), 44 + 8000 * n);
  }
  EXPECT_EQ(file, Expected(k, n));
}

INSTANTIATE_TEST_SUITE_P(Deliveries, RecorderLength,
                         ::testing::Values(Case{&kGsm, 0}, Case{&kGsm, 1}, Case{&kGsm, 2}, Case{&kGsm, 3},
                                           Case{&kGsm, 4}, Case{&kGsm, 7}, Case{&kPcm, 0}, Case{&kPcm, 1},
                                           Case{&kPcm, 2}, Case{&kPcm, 3}, Case{&kPcm, 7}),
                         [](const auto& info) {
                           return std::string(info.param.kind->name) + std::to_string(info.param.deliveries);
                         });

TEST_F(RecorderTest, GsmProvisionalHeaderCarriesTheLastRecordingsValues) {
  std::int32_t s;
  Bytes first = Record(kGsm, 2, &s, "first.wav");
  FakeWaveInput fake({.max_deliveries = 0});
  ASSERT_EQ(KivGSMSoundRecorderStart(Path16(dir_.path("second.wav")).c_str()), KIV_OK);
  Bytes provisional = test::ReadFile(dir_.path("second.wav"));
  ASSERT_EQ(provisional.size(), 60u);
  EXPECT_EQ(Le32(provisional, 4), first.size() - 60);
  EXPECT_EQ(Le32(provisional, 56), first.size() - 60);
  EXPECT_EQ(Le32(provisional, 48), Le32(first, 48));
  EXPECT_EQ(KivGSMSoundRecorderStop(), 0);
  EXPECT_EQ(test::ReadFile(dir_.path("second.wav")), Expected(kGsm, 0));
}

TEST_F(RecorderTest, FirstGsmProvisionalHeaderHoldsThePlaceholders) {
  FakeWaveInput fake({.max_deliveries = 0});
  ASSERT_EQ(KivGSMSoundRecorderStart(Path16(dir_.path("a.wav")).c_str()), KIV_OK);
  Bytes provisional = test::ReadFile(dir_.path("a.wav"));
  EXPECT_EQ(Le32(provisional, 4), 2000000u);
  EXPECT_EQ(Le32(provisional, 48), 2000160u);
  EXPECT_EQ(Le32(provisional, 56), 2000000u);
  KivGSMSoundRecorderStop();
}

TEST_F(RecorderTest, PcmProvisionalHeaderIsZeroThenTheLastFinalHeader) {
  FakeWaveInput fake({.max_deliveries = 2});
  ASSERT_EQ(KivGSMWAVSoundRecorderStart(Path16(dir_.path("a.wav")).c_str()), KIV_OK);
  // Deliveries are written through at once and may already follow it.
  Bytes header = test::ReadFile(dir_.path("a.wav"));
  header.resize(44);
  EXPECT_EQ(header, Bytes(44, 0));
  ASSERT_TRUE(fake.WaitForDeliveries(2));
  EXPECT_EQ(KivGSMWAVSoundRecorderStop(), 1);
  Bytes first = test::ReadFile(dir_.path("a.wav"));
  ASSERT_EQ(KivGSMWAVSoundRecorderStart(Path16(dir_.path("b.wav")).c_str()), KIV_OK);
  Bytes second = test::ReadFile(dir_.path("b.wav"));
  second.resize(44);
  EXPECT_EQ(second, Bytes(first.begin(), first.begin() + 44));
  EXPECT_LE(KivGSMWAVSoundRecorderStop(), 1);
}

struct DeviceFailure {
  const Kind* kind;
  std::uint32_t fail_open;
  int fail_add;
  bool fail_start;
  std::int32_t result;
};

class RecorderDeviceFailure : public RecorderTest, public ::testing::WithParamInterface<DeviceFailure> {};

TEST_P(RecorderDeviceFailure, LeavesAProvisionalFileThatStopFinishesEmpty) {
  const DeviceFailure& p = GetParam();
  const Kind& k = *p.kind;
  {
    FakeWaveInput fake({.fail_open = p.fail_open, .fail_add = p.fail_add, .fail_start = p.fail_start});
    EXPECT_EQ(k.start(Path16(dir_.path("a.wav")).c_str()), p.result);
    EXPECT_EQ(test::ReadFile(dir_.path("a.wav")).size(), k.header_bytes);  // provisional header on disk
    EXPECT_EQ(k.stop(), 0);
    EXPECT_EQ(k.stop(), 0);  // a second Stop touches nothing
    EXPECT_EQ(fake.open_devices(), 0);
  }
  EXPECT_EQ(test::ReadFile(dir_.path("a.wav")), Expected(k, 0));
  {
    // A Start after a failed Start, with no Stop between, releases the
    // leftovers and starts afresh.
    FakeWaveInput fake({.fail_open = p.fail_open, .fail_add = p.fail_add, .fail_start = p.fail_start});
    EXPECT_EQ(k.start(Path16(dir_.path("b.wav")).c_str()), p.result);
    FakeWaveInput working({.max_deliveries = 2});
    EXPECT_EQ(k.start(Path16(dir_.path("c.wav")).c_str()), KIV_OK);
    ASSERT_TRUE(working.WaitForDeliveries(2));
    EXPECT_EQ(k.stop(), 1);
  }
  EXPECT_EQ(test::ReadFile(dir_.path("b.wav")), Expected(k, 0));
  EXPECT_EQ(test::ReadFile(dir_.path("c.wav")), Expected(k, 2));
}

INSTANTIATE_TEST_SUITE_P(Steps, RecorderDeviceFailure,
                         ::testing::Values(DeviceFailure{&kGsm, 4, 0, false, KIV_ERR_DEVICE_OPEN},
                                           DeviceFailure{&kGsm, 0, 1, false, KIV_ERR_BUFFER_QUEUE},
                                           DeviceFailure{&kGsm, 0, 0, true, KIV_ERR_INPUT_START},
                                           DeviceFailure{&kPcm, 4, 0, false, KIV_ERR_DEVICE_OPEN},
                                           DeviceFailure{&kPcm, 0, 1, false, KIV_ERR_BUFFER_QUEUE},
                                           DeviceFailure{&kPcm, 0, 0, true, KIV_ERR_INPUT_START}),
                         [](const auto& info) {
                           return std::string(info.param.kind->name) + "Result" + std::to_string(info.param.result);
                         });

class RecorderMisuse : public RecorderTest, public ::testing::WithParamInterface<const Kind*> {};

TEST_P(RecorderMisuse, BadPathsAndMissingDirectoriesOpenNothing) {
  const Kind& k = *GetParam();
  FakeWaveInput fake;
  test::PathString lone = Path16(dir_.path("x")) + test::Unit(0xDC00);
  const KivPathChar empty[] = {0};
  for (const KivPathChar* path : {static_cast<const KivPathChar*>(nullptr), empty, lone.c_str()})
    EXPECT_EQ(k.start(path), KIV_ERR_ARGUMENT);
  EXPECT_EQ(k.start(Path16(dir_.path("missing/a.wav")).c_str()), KIV_ERR_OUTPUT_CREATE);
  EXPECT_TRUE(fake.ops().empty());
  EXPECT_EQ(k.stop(), 0);  // nothing running
  EXPECT_TRUE(fake.ops().empty());
}

TEST_P(RecorderMisuse, SecondStartWhileRunningIsRefusedAndChangesNothing) {
  const Kind& k = *GetParam();
  FakeWaveInput fake({.max_deliveries = 3});
  ASSERT_EQ(k.start(Path16(dir_.path("a.wav")).c_str()), KIV_OK);
  EXPECT_EQ(k.start(Path16(dir_.path("b.wav")).c_str()), KIV_ERR_BUSY);
  EXPECT_FALSE(test::Exists(dir_.path("b.wav")));
  ASSERT_TRUE(fake.WaitForDeliveries(3));
  EXPECT_EQ(k.stop(), 1);
  EXPECT_EQ(test::ReadFile(dir_.path("a.wav")), Expected(k, 3));
}

TEST_P(RecorderMisuse, StopRacingDeliveriesAlwaysLeavesAConsistentFile) {
  const Kind& k = *GetParam();
  FakeWaveInput fake;  // unpaced, endless
  for (int cycle = 0; cycle < 40; ++cycle) {
    std::string name = "race" + std::to_string(cycle) + ".wav";
    ASSERT_EQ(k.start(Path16(dir_.path(name)).c_str()), KIV_OK);
    std::this_thread::sleep_for(std::chrono::microseconds(200 * (cycle % 7)));
    std::int32_t seconds = k.stop();
    Bytes file = test::ReadFile(dir_.path(name));
    ASSERT_GE(file.size(), k.header_bytes);
    std::uint64_t deliveries = &k == &kGsm ? (file.size() - 60) / 65 * 2 / 25 : (file.size() - 44) / 8000;
    EXPECT_EQ(file, Expected(k, deliveries)) << cycle;
    EXPECT_EQ(seconds, static_cast<std::int32_t>(deliveries / 2)) << cycle;
  }
}

// A host killed mid-recording keeps every delivery consumed so far: each
// one reaches the operating system before the callback returns.
TEST_P(RecorderMisuse, EveryConsumedDeliveryIsOnDiskWhileRecording) {
  const Kind& k = *GetParam();
  FakeWaveInput fake({.max_deliveries = 3});
  ASSERT_EQ(k.start(Path16(dir_.path("live.wav")).c_str()), KIV_OK);
  ASSERT_TRUE(fake.WaitForDeliveries(3));
  Bytes live = test::ReadFile(dir_.path("live.wav"));
  Bytes done = Expected(k, 3);
  // GSM: 37 whole blocks; the 38th waits for the half block that follows.
  std::size_t on_disk = &k == &kGsm ? 60 + 65 * 37 : 44 + 8000 * 3;
  ASSERT_EQ(live.size(), on_disk);
  EXPECT_TRUE(std::equal(live.begin() + static_cast<long>(k.header_bytes), live.end(),
                         done.begin() + static_cast<long>(k.header_bytes)));
  EXPECT_EQ(k.stop(), 1);
}

INSTANTIATE_TEST_SUITE_P(Kinds, RecorderMisuse, ::testing::Values(&kGsm, &kPcm),
                         [](const auto& info) { return std::string(info.param->name); });

TEST_F(RecorderTest, BothRecordersRunAtOnce) {
  FakeWaveInput fake({.max_deliveries = 5});
  ASSERT_EQ(KivGSMSoundRecorderStart(Path16(dir_.path("g.wav")).c_str()), KIV_OK);
  ASSERT_EQ(KivGSMWAVSoundRecorderStart(Path16(dir_.path("p.wav")).c_str()), KIV_OK);
  ASSERT_TRUE(fake.WaitForDeliveries(10));
  EXPECT_EQ(KivGSMSoundRecorderStop(), 2);
  EXPECT_EQ(KivGSMWAVSoundRecorderStop(), 2);
  EXPECT_EQ(test::ReadFile(dir_.path("g.wav")), Expected(kGsm, 5));
  EXPECT_EQ(test::ReadFile(dir_.path("p.wav")), Expected(kPcm, 5));
}

TEST_F(RecorderTest, GsmDiskFullStopsAppendingAndTheHeaderDescribesTheFile) {
  test::FaultFileSystem faults;
  faults.FailWrite(16 + 30);  // 16 header fields, then one write per block
  SetFileSystemForTesting(faults.fs());
  std::int32_t seconds;
  Bytes file = Record(kGsm, 6, &seconds);
  Bytes whole = Expected(kGsm, 6);
  ASSERT_EQ(file.size(), 60u + 29 * 65);
  EXPECT_EQ(Le32(file, 4), 52u + 29 * 65);
  EXPECT_EQ(Le32(file, 48), 320u * 29);
  EXPECT_EQ(Le32(file, 56), 65u * 29);
  EXPECT_TRUE(std::equal(file.begin() + 60, file.end(), whole.begin() + 60));
  EXPECT_EQ(seconds, 1);  // 29 blocks hold 1.16 s
}

TEST_F(RecorderTest, PcmDiskFullStopsAppendingAndTheHeaderDescribesTheFile) {
  test::FaultFileSystem faults;
  faults.FailWrite(1 + 3);  // the header, two deliveries, then a failure
  SetFileSystemForTesting(faults.fs());
  std::int32_t seconds;
  Bytes file = Record(kPcm, 6, &seconds);
  EXPECT_EQ(file, Expected(kPcm, 2));
  EXPECT_EQ(seconds, 1);
}

// A Stop that cannot rewrite the header where it belongs says so instead of
// returning seconds, and writes nothing at the wrong place: the file holds
// the provisional header and all the audio, a form that repair finishes.
struct StopFault {
  const Kind* kind;
  const char* name;
  void (*inject)(test::FaultFileSystem*);
};
class UnfinishedStop : public RecorderTest, public ::testing::WithParamInterface<StopFault> {};

TEST_P(UnfinishedStop, ReturnsUnfinishedAndLeavesTheAudioBehindTheProvisionalHeader) {
  const Kind& k = *GetParam().kind;
  test::FaultFileSystem faults;
  GetParam().inject(&faults);
  SetFileSystemForTesting(faults.fs());
  std::int32_t stopped;
  Bytes file = Record(k, 4, &stopped);
  EXPECT_EQ(stopped, KIV_STOP_UNFINISHED);
  SetFileSystemForTesting(nullptr);
  Bytes whole = Expected(k, 4);
  ASSERT_EQ(file.size(), whole.size());
  EXPECT_TRUE(std::equal(file.begin() + static_cast<long>(k.header_bytes), file.end(),
                         whole.begin() + static_cast<long>(k.header_bytes)));
  if (&k == &kPcm) EXPECT_EQ(Bytes(file.begin(), file.begin() + 44), Bytes(44, 0));
  else EXPECT_EQ(Le32(file, 4), 2000000u);
  // The recorder is free, and the next recording is whole.
  EXPECT_EQ(Record(k, 2, &stopped, "next.wav").size(), Expected(k, 2).size());
  EXPECT_EQ(stopped, 1);
}

// The GSM Stop measures the file (a seek to its end, a position query), then
// seeks to its start; the PCM Stop knows its length and only seeks. The
// header's rewrite follows the provisional header and the audio: 16 field
// writes and 50 blocks for GSM, one header and 4 deliveries for PCM.
INSTANTIATE_TEST_SUITE_P(
    Faults, UnfinishedStop,
    ::testing::Values(StopFault{&kGsm, "SeekToTheEnd", [](test::FaultFileSystem* f) { f->FailSeek(1); }},
                      StopFault{&kGsm, "LengthQuery", [](test::FaultFileSystem* f) { f->FailTell(1); }},
                      StopFault{&kGsm, "SeekToTheStart", [](test::FaultFileSystem* f) { f->FailSeek(2); }},
                      StopFault{&kGsm, "HeaderWrite", [](test::FaultFileSystem* f) { f->FailWrite(16 + 50 + 1, true); }},
                      StopFault{&kPcm, "SeekToTheStart", [](test::FaultFileSystem* f) { f->FailSeek(1); }},
                      StopFault{&kPcm, "HeaderWrite", [](test::FaultFileSystem* f) { f->FailWrite(1 + 4 + 1, true); }}),
                         [](const auto& info) { return std::string(info.param.kind->name) + info.param.name; });

#if !defined(_WIN32)
TEST_F(RecorderTest, RecordingToAFullDeviceFailsWithSevenBeforeTheDeviceOpens) {
  for (const Kind* k : {&kGsm, &kPcm}) {
    FakeWaveInput fake;
    EXPECT_EQ(k->start(Path16("/dev/full").c_str()), KIV_ERR_WRITE) << k->name;
    EXPECT_TRUE(fake.ops().empty()) << k->name;
    EXPECT_EQ(k->stop(), 0) << k->name;
  }
}
#endif

TEST_F(RecorderTest, LimitsStopAppendingButTheRecordingRunsOnToAValidFile) {
  TheGsmRecorder()->max_blocks = 30;
  ThePcmWaveRecorder()->max_data_bytes = 3 * 8000 + 100;
  std::int32_t gsmSeconds, pcmSeconds;
  Bytes gsm = Record(kGsm, 5, &gsmSeconds, "g.wav");
  Bytes pcm = Record(kPcm, 5, &pcmSeconds, "p.wav");
  Bytes whole = Expected(kGsm, 5);
  ASSERT_EQ(gsm.size(), 60u + 30 * 65);
  EXPECT_EQ(Le32(gsm, 48), 320u * 30);
  EXPECT_TRUE(std::equal(gsm.begin() + 60, gsm.end(), whole.begin() + 60));
  EXPECT_EQ(gsmSeconds, 1);
  EXPECT_EQ(pcm, Expected(kPcm, 3));
  EXPECT_EQ(pcmSeconds, 1);
}

TEST_F(RecorderTest, PcmSizesStayExactPastTheSinglePrecisionRoundingPoint) {
  test::SparseFileSystem sparse;
  SetFileSystemForTesting(sparse.fs());
  for (std::uint64_t n : {8388u, 8389u}) {
    FakeWaveInput fake({.max_deliveries = n});
    ASSERT_EQ(KivGSMWAVSoundRecorderStart(Path16("big.wav").c_str()), KIV_OK);
    ASSERT_TRUE(fake.WaitForDeliveries(n, std::chrono::seconds(120)));
    EXPECT_EQ(KivGSMWAVSoundRecorderStop(), static_cast<std::int32_t>(n / 2));
    std::vector<unsigned char> head;
    std::uint64_t length = 0;
    ASSERT_TRUE(sparse.Get("big.wav", &head, &length));
    EXPECT_EQ(length, 44 + 8000 * n);
    EXPECT_EQ(Le32(head, 40), 8000 * n);
    EXPECT_EQ(Le32(head, 4), 8000 * n + 36);  // 67112036 at 8389, not 67112040
  }
}

}  // namespace
}  // namespace kiv
