// SPDX-License-Identifier: MIT
// The capture channel over the real ALSA backend, with no sound card: the
// default PCM is ALSA's `file` plugin reading a known raw file over a
// `null` slave, which delivers as fast as it is read.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <thread>

#include "kivgsm.h"
#include "record/capture_channel.h"
#include "support/test_files.h"

namespace kiv {
namespace {

using namespace std::chrono_literals;
using test::Bytes;

struct Collected {
  std::mutex mutex;
  Bytes bytes;
};

void Collect(void* owner, const unsigned char* copy) {
  auto* c = static_cast<Collected*>(owner);
  std::lock_guard<std::mutex> lock(c->mutex);
  c->bytes.insert(c->bytes.end(), copy, copy + kCaptureBufferBytes);
}

void UseAlsaConfig(const test::ScratchDir& dir, const std::string& text) {
  std::ofstream(dir.path("asound.conf")) << text;
  ASSERT_EQ(::setenv("ALSA_CONFIG_PATH", dir.path("asound.conf").c_str(), 1), 0);
}

// A default PCM that reads `known`, and the GSM channel collecting into `got`.
CaptureChannel* CollectKnownInput(const test::ScratchDir& dir, const Bytes& known, Collected* got) {
  test::WriteFile(dir.path("known.raw"), known);
  UseAlsaConfig(dir, test::AlsaFilePluginConfig(dir.path("known.raw")));
  CaptureChannel* c = GsmCaptureChannel();
  c->consumer = Collect;
  c->owner = got;
  c->duration = 0;
  return c;
}

TEST(AlsaCapture, DeliveriesAreTheFileContentInOrderWithNoGap) {
  test::ScratchDir dir;
  Bytes known = test::SpeechSample();
  known.resize(20 * kCaptureBufferBytes + 1234);  // the plugin repeats stale data past the end
  Collected got;
  CaptureChannel* c = CollectKnownInput(dir, known, &got);
  ASSERT_EQ(CaptureChannelStart(c), KIV_OK);
  auto deadline = std::chrono::steady_clock::now() + 20s;
  while (c->deliveries.load() < 20 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
  CaptureChannelStop(c);
  ASSERT_GE(got.bytes.size(), 20u * kCaptureBufferBytes);
  EXPECT_TRUE(std::equal(known.begin(), known.begin() + 20 * kCaptureBufferBytes, got.bytes.begin()));
  EXPECT_EQ(c->duration, 0.5f * static_cast<float>(got.bytes.size() / kCaptureBufferBytes));
}

TEST(AlsaCapture, DefaultDeviceThatCannotBeOpenedGivesDeviceOpenError) {
  test::ScratchDir dir;
  UseAlsaConfig(dir, test::kAlsaNoDeviceConfig);
  CaptureChannel* c = GsmCaptureChannel();
  c->consumer = nullptr;
  EXPECT_EQ(CaptureChannelStart(c), KIV_ERR_DEVICE_OPEN);
  CaptureChannelStop(c);
  EXPECT_FALSE(c->device_open);
}

TEST(AlsaCapture, RepeatedStartStopOnTheFilePlugin) {
  test::ScratchDir dir;
  Bytes known = test::SpeechSample();
  Collected got;
  CaptureChannel* c = CollectKnownInput(dir, known, &got);
  for (int i = 0; i < 20; ++i) {
    got.bytes.clear();
    c->duration = 0;
    std::uint64_t before = c->deliveries.load();
    ASSERT_EQ(CaptureChannelStart(c), KIV_OK) << i;
    while (c->deliveries.load() == before) std::this_thread::sleep_for(1ms);
    CaptureChannelStop(c);
    std::lock_guard<std::mutex> lock(got.mutex);
    // Each recording starts again at the start of the file.
    ASSERT_TRUE(std::equal(got.bytes.begin(), got.bytes.begin() + kCaptureBufferBytes, known.begin())) << i;
  }
}

}  // namespace
}  // namespace kiv
