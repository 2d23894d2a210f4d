#include "wave_info.h"

#include <gtest/gtest.h>

#include <random>

#include "kivgsm.h"
#include "support/test_files.h"

namespace kiv::tool {
namespace {

using test::Bytes;

WaveInfo Inspect(const Bytes& b) { return InspectWave(b.data(), b.size()); }

Bytes Converted(std::size_t inputBytes) {
  test::ScratchDir dir;
  Bytes s = test::SpeechSample();
  s.resize(inputBytes);
  test::WriteFile(dir.path("in.raw"), s);
  EXPECT_EQ(KivWave2GSM610(test::Path16(dir.path("in.raw")).c_str(), test::Path16(dir.path("o.wav")).c_str()),
            KIV_OK);
  return test::ReadFile(dir.path("o.wav"));
}

Bytes PcmWave(std::uint32_t dataBytes) {
  Bytes h = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 16, 0, 0, 0, 1, 0, 1, 0,
             0x40, 0x1f, 0, 0, 0x80, 0x3e, 0, 0, 2, 0, 16, 0, 'd', 'a', 't', 'a', 0, 0, 0, 0};
  auto put = [&](std::size_t o, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) h[o + i] = static_cast<unsigned char>(v >> (8 * i));
  };
  put(4, 36 + dataBytes);
  put(40, dataBytes);
  h.resize(44 + dataBytes, 0);
  return h;
}

TEST(WaveInfo, FinishedGsmFileAgrees) {
  WaveInfo w = Inspect(Converted(640 * 50));
  EXPECT_EQ(w.kind, WaveKind::kGsm);
  EXPECT_TRUE(w.consistent) << FormatWaveInfo(w);
  EXPECT_EQ(w.fact_samples, 320u * 50);
  EXPECT_DOUBLE_EQ(w.seconds, 2.0);
}

TEST(WaveInfo, PcmFileAgrees) {
  WaveInfo w = Inspect(PcmWave(16000));
  EXPECT_EQ(w.kind, WaveKind::kPcm);
  EXPECT_TRUE(w.consistent) << FormatWaveInfo(w);
  EXPECT_DOUBLE_EQ(w.seconds, 1.0);
}

TEST(WaveInfo, TruncatedFileDisagrees) {
  Bytes b = Converted(640 * 50);
  b.resize(b.size() - 30);
  WaveInfo w = Inspect(b);
  EXPECT_FALSE(w.consistent);
  EXPECT_FALSE(w.unfinished);
  EXPECT_EQ(w.data_present, 65u * 50 - 30);
}

TEST(WaveInfo, PlaceholdersAndZeroHeadersAreFlaggedUnfinished) {
  Bytes b = Converted(640 * 10);
  for (std::size_t o : {4u, 56u}) b[o] = 0x80, b[o + 1] = 0x84, b[o + 2] = 0x1e, b[o + 3] = 0;  // 2000000
  b[48] = 0x20, b[49] = 0x85, b[50] = 0x1e, b[51] = 0;                                            // 2000160
  WaveInfo w = Inspect(b);
  EXPECT_TRUE(w.placeholders);
  EXPECT_TRUE(w.unfinished);
  EXPECT_FALSE(w.consistent);
  Bytes zero(44 + 8000, 0);
  WaveInfo z = Inspect(zero);
  EXPECT_EQ(z.kind, WaveKind::kPcm);
  EXPECT_TRUE(z.unfinished);
  EXPECT_FALSE(z.consistent);
}

TEST(WaveInfo, GarbageNeverReadsOutOfBounds) {
  // Random bytes, and valid headers with random damage, at every length up
  // to 200: each is inspected from a buffer of exactly that size, so an
  // over-read is caught by the address sanitizer build.
  std::mt19937 rng(7);
  Bytes good = Converted(640 * 2);
  for (int round = 0; round < 3000; ++round) {
    Bytes b = round % 2 ? good : Bytes(rng() % 200);
    if (round % 2 == 0) for (auto& c : b) c = static_cast<unsigned char>(rng());
    else for (int k = 0; k < 3; ++k) b[rng() % 60] = static_cast<unsigned char>(rng());
    b.resize(rng() % (b.size() + 1));
    WaveInfo w = InspectWave(b.data(), b.size());
    EXPECT_FALSE(FormatWaveInfo(w).empty());
  }
  EXPECT_EQ(Inspect(Bytes{'R', 'I', 'F', 'F'}).kind, WaveKind::kNotWave);
}

}  // namespace
}  // namespace kiv::tool
