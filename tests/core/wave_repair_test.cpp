// SPDX-License-Identifier: MIT
// Repair's decision and the WAVE reader it relies on: files left by a crash
// and cut at every byte offset, and valid files that must be left alone.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "formats/wave_reader.h"
#include "formats/wave_repair.h"
#include "support/wave_files.h"
#include "support/test_files.h"

namespace kiv {
namespace {

using test::Bytes;
using test::Chunk;
using test::GsmWith;
using test::kGsmFmt;
using test::kPcmFmt;
using test::Riff;

struct CrashCase {
  const char* name;
  bool gsm, previous;
  std::size_t header;
};

class RepairCut : public ::testing::TestWithParam<CrashCase> {};

// Every cut either repairs to a valid file that keeps the audio before the
// cut (all but an incomplete last block or sample), or is refused.
TEST_P(RepairCut, EveryCutRepairsToAValidFileOrIsRefused) {
  const CrashCase& c = GetParam();
  Bytes crashed = test::CrashedRecording(c.gsm, c.previous);
  std::size_t frame = c.gsm ? 65 : 2;
  std::size_t repaired = 0, refused = 0;
  for (std::size_t cut = 0; cut <= crashed.size(); ++cut) {
    Bytes b(crashed.begin(), crashed.begin() + static_cast<long>(cut));
    RepairPlan plan = PlanRepair(MemoryBytes(b.data(), b.size()));
    if (plan.action == RepairPlan::Action::kRefuse) {
      ++refused;
      ASSERT_LT(cut, c.header) << "refused with a whole header: " << plan.what;
      continue;
    }
    ++repaired;
    ApplyRepair(&b, plan);  // nothing to do only where a stale header happens to fit
    WaveInfo w = InspectWave(b.data(), b.size());
    ASSERT_TRUE(w.consistent) << "cut at " << cut << "\n" << test::Problems(w);
    std::size_t audio = (cut - c.header) / frame * frame;
    ASSERT_EQ(b.size(), c.header + audio) << cut;
    ASSERT_TRUE(std::equal(b.begin() + static_cast<long>(c.header), b.end(),
                           crashed.begin() + static_cast<long>(c.header)));
  }
  EXPECT_EQ(refused, c.header);  // cut inside the header: nothing to go on
  EXPECT_GT(repaired, 0u);
}

INSTANTIATE_TEST_SUITE_P(Recordings, RepairCut,
                         ::testing::Values(CrashCase{"Gsm", true, false, 60},
                                           CrashCase{"PcmZeroHeader", false, false, 44},
                                           CrashCase{"PcmStaleHeader", false, true, 44}),
                         [](const auto& info) { return std::string(info.param.name); });

// Files that other writers make valid, which the reader must judge so and
// repair must leave alone.
struct ValidFile {
  const char* name;
  std::function<Bytes()> make;
  double seconds;
};

class ValidWave : public ::testing::TestWithParam<ValidFile> {};

TEST_P(ValidWave, IsJudgedValidAndLeftAlone) {
  Bytes b = GetParam().make();
  WaveInfo w = InspectWave(b.data(), b.size());
  EXPECT_TRUE(w.consistent) << test::Problems(w);
  EXPECT_DOUBLE_EQ(w.seconds, GetParam().seconds);
  EXPECT_EQ(PlanRepair(MemoryBytes(b.data(), b.size())).action, RepairPlan::Action::kNothing);
}

INSTANTIATE_TEST_SUITE_P(
    Writers, ValidWave,
    ::testing::Values(
        // A comment chunk far larger than any fixed prefix before the data.
        ValidFile{"LongChunkBeforeData",
                  [] { return Riff({Chunk("fmt ", kPcmFmt), Chunk("LIST", Bytes(200000, 'c')), Chunk("data", Bytes(16000, 1))}); },
                  1.0},
        ValidFile{"ListChunkAfterData", [] { return GsmWith(25, 8000, {Chunk("LIST", Bytes(30, 'i'))}); }, 1.0},
        // An odd number of blocks with its pad byte, the sample count
        // leaving out the last block's padding.
        ValidFile{"OddBlocksWithPadByte", [] { return GsmWith(7, 2080, {}); }, 7 * 0.04},
        ValidFile{"PadByteCountedInDataSize",
                  [] {
                    Bytes b = GsmWith(7, 2080, {});
                    b[56] = static_cast<unsigned char>(b[56] + 1);  // 456: the pad is counted
                    return b;
                  },
                  7 * 0.04}),
    [](const auto& info) { return std::string(info.param.name); });

// Repair acts only on a self-consistent format: a PCM file cut off with a
// block alignment that contradicts its channels and width (which would cut
// whole seconds of audio as a "partial frame") is refused.
class RefusedRepair : public ::testing::TestWithParam<std::pair<std::uint16_t, std::uint16_t>> {};

TEST_P(RefusedRepair, PcmFormatThatContradictsItself) {
  auto [block_align, bits] = GetParam();
  Bytes fmt = kPcmFmt;
  fmt[12] = static_cast<unsigned char>(block_align), fmt[13] = static_cast<unsigned char>(block_align >> 8);
  fmt[14] = static_cast<unsigned char>(bits);
  Bytes b = Riff({Chunk("fmt ", fmt), Chunk("data", Bytes(16000, 1))});
  b.resize(b.size() - 3);  // cut off: sizes disagree, as after a crash
  WaveInfo w = InspectWave(b.data(), b.size());
  EXPECT_FALSE(w.consistent);
  EXPECT_EQ(w.seconds, 0.0);
  EXPECT_EQ(PlanRepair(MemoryBytes(b.data(), b.size())).action, RepairPlan::Action::kRefuse) << test::Problems(w);
}
INSTANTIATE_TEST_SUITE_P(Formats, RefusedRepair,
                         ::testing::Values(std::pair<std::uint16_t, std::uint16_t>{0, 0},
                                           std::pair<std::uint16_t, std::uint16_t>{4000, 16},
                                           std::pair<std::uint16_t, std::uint16_t>{65535, 16}));

}  // namespace
}  // namespace kiv
