// SPDX-License-Identifier: MIT
#include "formats/wave_reader.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "formats/wave_format.h"
#include "kivgsm.h"
#include "support/wave_files.h"
#include "support/test_files.h"

namespace kiv {
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
  Bytes payload(dataBytes, 0);
  h.insert(h.end(), payload.begin(), payload.end());
  return h;
}

Bytes WithPlaceholders(Bytes b) {
  for (std::size_t o : {kGsmRiffSizeOffset, kGsmDataSizeOffset}) test::Put32(&b, o, kPlaceholderSizeValue);
  test::Put32(&b, kGsmSampleCountOffset, kPlaceholderSampleCount);
  return b;
}

// An ID3v1 tag appended after the file, as taggers do.
Bytes WithTagAfter(Bytes b) {
  Bytes tag(128, 0);
  std::copy_n("TAGTitle", 8, tag.begin());
  b.insert(b.end(), tag.begin(), tag.end());
  return b;
}

Bytes Cut(Bytes b, std::size_t bytes) {
  b.resize(b.size() - bytes);
  return b;
}

struct ReaderCase {
  const char* name;
  std::function<Bytes()> make;
  WaveKind kind;
  bool consistent, unfinished, data_fits, chunks_after_data;
  double seconds;
};

class ReaderRule : public ::testing::TestWithParam<ReaderCase> {};

TEST_P(ReaderRule, JudgesTheFile) {
  const ReaderCase& c = GetParam();
  WaveInfo w = Inspect(c.make());
  EXPECT_EQ(w.kind, c.kind);
  EXPECT_EQ(w.consistent, c.consistent) << test::Problems(w);
  EXPECT_EQ(w.unfinished, c.unfinished);
  EXPECT_EQ(w.data_fits, c.data_fits);
  EXPECT_EQ(w.chunks_after_data, c.chunks_after_data);
  EXPECT_DOUBLE_EQ(w.seconds, c.seconds);
}

// 8000 Hz PCM whose format chunk claims another sample rate.
Bytes PcmAtRate(std::uint32_t rate) {
  Bytes fmt = test::kPcmFmt;
  for (int i = 0; i < 4; ++i) fmt[4 + i] = static_cast<unsigned char>(rate >> (8 * i));
  return test::Riff({test::Chunk("fmt ", fmt), test::Chunk("data", Bytes(16000, 1))});
}

// 8000 Hz mu-law: format 7, one byte a sample, 8000 bytes a second.
Bytes MuLaw(std::size_t bytes) {
  Bytes fmt = test::kPcmFmt;
  fmt[0] = 7;
  fmt[8] = 0x40, fmt[9] = 0x1f;  // bytes per second
  fmt[12] = 1, fmt[14] = 8;      // block alignment, bits per sample
  return test::Riff({test::Chunk("fmt ", fmt), test::Chunk("data", Bytes(bytes, 0xff))});
}

Bytes PcmAligned(std::uint16_t block_align) {
  Bytes fmt = test::kPcmFmt;
  fmt[12] = static_cast<unsigned char>(block_align), fmt[13] = static_cast<unsigned char>(block_align >> 8);
  return test::Riff({test::Chunk("fmt ", fmt), test::Chunk("data", Bytes(16000, 1))});
}

INSTANTIATE_TEST_SUITE_P(
    Files, ReaderRule,
    ::testing::Values(
        ReaderCase{"FinishedGsm", [] { return Converted(640 * 50); }, WaveKind::kGsm, true, false, true, false, 2.0},
        ReaderCase{"FinishedPcm", [] { return PcmWave(16000); }, WaveKind::kPcm, true, false, true, false, 1.0},
        // Cut mid-block: the payload runs to the end, whole blocks count.
        ReaderCase{"GsmCutMidBlock", [] { return Cut(Converted(640 * 50), 30); }, WaveKind::kGsm, false, false,
                   false, false, 49 * 0.04},
        ReaderCase{"GsmPlaceholders", [] { return WithPlaceholders(Converted(640 * 10)); }, WaveKind::kGsm, false,
                   true, false, false, 0.4},
        ReaderCase{"PcmZeroHeader", [] { return Bytes(44 + 8000, 0); }, WaveKind::kPcm, false, true, false, false,
                   0.5},
        // A tag appended after a finished file: the sizes agree with each
        // other, so the audio ends where the data chunk says.
        ReaderCase{"BytesAfterTheRiffChunk", [] { return WithTagAfter(Converted(640 * 50)); }, WaveKind::kGsm,
                   false, false, true, false, 2.0},
        // The same after an odd number of blocks, with no pad byte (as the
        // library writes them).
        ReaderCase{"BytesAfterAnOddDataChunk", [] { return WithTagAfter(Converted(640 * 25)); }, WaveKind::kGsm,
                   false, false, true, false, 1.0},
        ReaderCase{"ChunksAfterData", [] { return test::GsmWith(25, 8000, {test::Chunk("LIST", Bytes(30, 'i'))}); },
                   WaveKind::kGsm, true, false, true, true, 1.0},
        // An odd number of blocks and its pad byte, with the count sox writes
        // (the samples, not the last block's padding).
        ReaderCase{"PadByteAndSoxCount", [] { return test::GsmWith(7, 2080, {}); }, WaveKind::kGsm, true, false,
                   true, false, 7 * 0.04},
        ReaderCase{"CountBeyondTheBlocks", [] { return test::GsmWith(7, 5000, {}); }, WaveKind::kGsm, false, false,
                   true, false, 7 * 0.04},
        // A block alignment that is not channels x bytes per sample.
        ReaderCase{"PcmAlignmentContradictsTheFormat", [] { return PcmAligned(4000); }, WaveKind::kPcm, false,
                   false, true, false, 0.0},
        // A byte rate (16000) that is not the sample rate times the frame.
        ReaderCase{"PcmRateContradictsTheByteRate", [] { return PcmAtRate(0xFFFFFFFFu); }, WaveKind::kPcm, false,
                   false, true, false, 0.0},
        // Another format: its length from the byte rate its header gives.
        ReaderCase{"MuLawLengthFromTheByteRate", [] { return MuLaw(12000); }, WaveKind::kOtherWave, true, false,
                   true, false, 1.5}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WaveInfo, GarbageNeverReadsOutOfBounds) {
  // Random bytes, and valid headers with random damage, at every length up
  // to 200: each is inspected from a buffer of exactly that size, so an
  // over-read is caught by the address sanitizer build, and whatever the
  // bytes, the judgement never claims more audio than there is.
  std::mt19937 rng(7);
  Bytes good = Converted(640 * 2);
  for (int round = 0; round < 3000; ++round) {
    Bytes b = round % 2 ? good : Bytes(rng() % 200);
    if (round % 2 == 0) for (auto& c : b) c = static_cast<unsigned char>(rng());
    else for (int k = 0; k < 3; ++k) b[rng() % 60] = static_cast<unsigned char>(rng());
    b.resize(rng() % (b.size() + 1));
    WaveInfo w = InspectWave(b.data(), b.size());
    ASSERT_LE(w.data_present, b.size());
    ASSERT_LE(w.frames * w.frame_bytes, w.data_present);
    ASSERT_TRUE(!w.consistent || (!w.damaged && w.problems.empty() && w.format_ok));
    if (w.kind == WaveKind::kGsm) {
      ASSERT_LE(GsmSamplesToDecode(w), w.frames * kGsmSamplesPerBlock);
    }
  }
  EXPECT_EQ(Inspect(Bytes{'R', 'I', 'F', 'F'}).kind, WaveKind::kNotWave);
}

}  // namespace
}  // namespace kiv
