// SPDX-License-Identifier: MIT
#include "codec/gsm_block_encoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "support/reference_gsm.h"
#include "support/test_files.h"

namespace kiv {
namespace {

TEST(GsmBlockEncoder, StreamEqualsDirectWav49EncodingOfItsFrames) {
  std::vector<std::int16_t> samples = test::ToSamples(test::SpeechSample());
  samples.resize(samples.size() / 320 * 320);
  ASSERT_GT(samples.size(), 320u * 100);
  GsmHandle h = GsmBlockEncoderCreate();
  ASSERT_NE(h, nullptr);
  std::vector<unsigned char> ours(samples.size() / 320 * 65);
  for (std::size_t b = 0; b < samples.size() / 320; ++b) GsmBlockEncode(h, &samples[b * 320], &ours[b * 65]);
  GsmBlockEncoderDestroy(h);
  EXPECT_EQ(ours, test::ReferenceWav49(samples));
}

TEST(GsmBlockEncoder, WritesBytes0To64AndNothingBeyond) {
  std::vector<std::int16_t> samples = test::ToSamples(test::SpeechSample());
  for (unsigned char fill : {0x00, 0xA5, 0xFF}) {
    std::vector<std::uint8_t> area(65 + 32, fill);
    GsmHandle h = GsmBlockEncoderCreate();
    GsmBlockEncode(h, &samples[8000], area.data());
    GsmBlockEncoderDestroy(h);
    EXPECT_TRUE(std::all_of(area.begin() + 65, area.end(), [&](auto b) { return b == fill; }));
    // The block content does not depend on what the area held before.
    std::vector<std::uint8_t> again(65, static_cast<unsigned char>(~fill));
    h = GsmBlockEncoderCreate();
    GsmBlockEncode(h, &samples[8000], again.data());
    GsmBlockEncoderDestroy(h);
    EXPECT_TRUE(std::equal(again.begin(), again.end(), area.begin()));
  }
}

TEST(GsmBlockEncoder, FreshHandlesGiveIdenticalBlocks) {
  std::vector<std::int16_t> samples = test::ToSamples(test::SpeechSample());
  std::uint8_t a[65], b[65];
  GsmHandle h1 = GsmBlockEncoderCreate(), h2 = GsmBlockEncoderCreate();
  GsmBlockEncode(h1, &samples[4000], a);
  GsmBlockEncode(h2, &samples[4000], b);
  GsmBlockEncoderDestroy(h1);
  GsmBlockEncoderDestroy(h2);
  EXPECT_TRUE(std::equal(a, a + 65, b));
  GsmBlockEncoderDestroy(nullptr);  // accepted
}

}  // namespace
}  // namespace kiv
