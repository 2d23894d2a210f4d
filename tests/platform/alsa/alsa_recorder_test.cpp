// SPDX-License-Identifier: MIT
// Both recorders through their public entry points over the real ALSA
// backend, whose default PCM reads a known raw file (ALSA's `file` plugin
// over a `null` slave, delivering as fast as it is read).
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <thread>

#include "kivgsm.h"
#include "record/capture_channel.h"
#include "support/test_files.h"

namespace kiv {
namespace {

using namespace std::chrono_literals;
using test::Bytes;
using test::Path16;

class AlsaRecorder : public ::testing::Test {
 protected:
  void SetUp() override {
    // Far more speech than a short recording reads, so everything captured
    // is known: past the file's end the plugin repeats stale data.
    Bytes speech = test::SpeechSample();
    while (known_.size() < 16'000'000) known_.insert(known_.end(), speech.begin(), speech.end());
    test::WriteFile(dir_.path("known.raw"), known_);
    UseConfig(test::AlsaFilePluginConfig(dir_.path("known.raw")));
  }
  void UseConfig(const std::string& text) {
    std::ofstream(dir_.path("asound.conf")) << text;
    ASSERT_EQ(::setenv("ALSA_CONFIG_PATH", dir_.path("asound.conf").c_str(), 1), 0);
  }
  // The public entry points show no progress; the channel's counter does.
  static void WaitForDeliveries(CaptureChannel* c, std::uint64_t n) {
    std::uint64_t base = c->deliveries.load();
    auto deadline = std::chrono::steady_clock::now() + 20s;
    while (c->deliveries.load() - base < n && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(100us);
  }
  test::ScratchDir dir_;
  Bytes known_;
};

TEST_F(AlsaRecorder, GsmRecordingEqualsConvertingTheCapturedSamples) {
  std::string out = dir_.path("rec.wav");
  ASSERT_EQ(KivGSMSoundRecorderStart(Path16(out).c_str()), KIV_OK);
  WaitForDeliveries(GsmCaptureChannel(), 3);
  std::int32_t seconds = KivGSMSoundRecorderStop();
  Bytes rec = test::ReadFile(out);
  ASSERT_GE(rec.size(), 60u);
  std::uint64_t blocks = (rec.size() - 60) / 65;
  std::uint64_t deliveries = blocks * 2 / 25;  // blocks = ceil(12.5 x deliveries)
  ASSERT_GT(deliveries, 0u);
  ASSERT_EQ(blocks, (25 * deliveries + 1) / 2);
  ASSERT_LE(deliveries * 8000, known_.size()) << "recorded past the known input";
  EXPECT_EQ(seconds, static_cast<std::int32_t>(deliveries / 2));

  Bytes captured(known_.begin(), known_.begin() + static_cast<long>(deliveries * 8000));
  captured.resize(blocks * 640, 0);  // the carried half block, zero-padded
  test::WriteFile(dir_.path("captured.raw"), captured);
  ASSERT_EQ(KivWave2GSM610(Path16(dir_.path("captured.raw")).c_str(), Path16(dir_.path("conv.wav")).c_str()),
            KIV_OK);
  EXPECT_EQ(rec, test::ReadFile(dir_.path("conv.wav")));
}

TEST_F(AlsaRecorder, PcmRecordingPayloadIsTheDeviceSamples) {
  std::string out = dir_.path("rec.wav");
  ASSERT_EQ(KivGSMWAVSoundRecorderStart(Path16(out).c_str()), KIV_OK);
  WaitForDeliveries(PcmCaptureChannel(), 3);
  std::int32_t seconds = KivGSMWAVSoundRecorderStop();
  Bytes rec = test::ReadFile(out);
  ASSERT_GE(rec.size(), 44u);
  std::uint64_t data = rec.size() - 44;
  ASSERT_EQ(data % 8000, 0u);
  ASSERT_GT(data, 0u);
  EXPECT_EQ(test::Le32(rec, 40), data);
  EXPECT_EQ(test::Le32(rec, 4), data + 36);
  EXPECT_EQ(seconds, static_cast<std::int32_t>(data / 16000));
  // PCM recording runs far faster than the file plugin's input lasts;
  // compare what the known input covers.
  std::size_t covered = std::min<std::size_t>(data, known_.size());
  EXPECT_TRUE(std::equal(rec.begin() + 44, rec.begin() + 44 + static_cast<long>(covered), known_.begin()));
}

TEST_F(AlsaRecorder, NoDeviceStartReturnsOneAndStopLeavesAValidEmptyFile) {
  UseConfig(test::kAlsaNoDeviceConfig);
  test::ExpectNoDeviceLeavesEmptyRecordings(dir_);
}

}  // namespace
}  // namespace kiv
