// `kivgsm repair` and the WAVE reader it relies on: files left by a crash
// and cut at every byte offset, and valid files that must be left alone.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "kivgsm.h"
#include "record/gsm_recorder.h"
#include "record/pcm_wave_recorder.h"
#include "support/fake_wave_input.h"
#include "support/test_files.h"
#include "wave_info.h"
#include "wave_repair.h"

namespace kiv {
namespace {

using test::Bytes;
using tool::RepairPlan;
using tool::WaveInfo;

// The file a recording leaves on disk when its host dies after three
// deliveries; `previous` first records and stops once, so that the PCM
// provisional header is the last recording's instead of 44 zero bytes.
Bytes CrashedRecording(bool gsm, bool previous) {
  test::ScratchDir dir;
  test::FakeWaveInput fake({.max_deliveries = 3});
  auto start = gsm ? KivGSMSoundRecorderStart : KivGSMWAVSoundRecorderStart;
  auto stop = gsm ? KivGSMSoundRecorderStop : KivGSMWAVSoundRecorderStop;
  ThePcmWaveRecorder()->header = {};
  if (previous) {
    EXPECT_EQ(start(test::Path16(dir.path("first.wav")).c_str()), KIV_OK);
    stop();
  }
  std::uint64_t before = fake.deliveries();
  EXPECT_EQ(start(test::Path16(dir.path("rec.wav")).c_str()), KIV_OK);
  EXPECT_TRUE(fake.WaitForDeliveries(before + 3));
  Bytes live = test::ReadFile(dir.path("rec.wav"));
  stop();
  return live;
}

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
  Bytes crashed = CrashedRecording(c.gsm, c.previous);
  std::size_t frame = c.gsm ? 65 : 2;
  std::size_t repaired = 0, refused = 0;
  for (std::size_t cut = 0; cut <= crashed.size(); ++cut) {
    Bytes b(crashed.begin(), crashed.begin() + static_cast<long>(cut));
    RepairPlan plan = tool::PlanRepair(tool::MemoryBytes(b.data(), b.size()));
    if (plan.action == RepairPlan::Action::kRefuse) {
      ++refused;
      ASSERT_LT(cut, c.header) << "refused with a whole header: " << plan.what;
      continue;
    }
    ++repaired;
    tool::ApplyRepair(&b, plan);  // nothing to do only where a stale header happens to fit
    WaveInfo w = tool::InspectWave(b.data(), b.size());
    ASSERT_TRUE(w.consistent) << "cut at " << cut << "\n" << tool::FormatWaveInfo(w);
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

// The same through the tool, at a sample of cuts: a repaired file is one
// that kivgsm info, sox and ffmpeg all read without a word of complaint,
// and a refused one is left exactly as it was.
TEST(RepairTool, RepairedFilesSatisfyInfoSoxAndFfmpegAndRefusedOnesStayAsTheyWere) {
  test::ScratchDir dir;
  std::string f = dir.path("f.wav");
  for (bool gsm : {true, false}) {
    Bytes crashed = CrashedRecording(gsm, false);
    for (std::size_t cut : {std::size_t{0}, std::size_t{30}, std::size_t{44}, std::size_t{59}, std::size_t{60},
                            std::size_t{61}, std::size_t{125}, std::size_t{1000}, std::size_t{1001}, crashed.size()}) {
      SCOPED_TRACE((gsm ? "GSM cut at " : "PCM cut at ") + std::to_string(cut));
      Bytes b(crashed.begin(), crashed.begin() + static_cast<long>(std::min(cut, crashed.size())));
      test::WriteFile(f, b);
      std::string out, err;
      int rc = test::RunCommand("'" KIV_TOOL "' repair '" + f + "'", &out, &err);
      if (rc != 0) {
        EXPECT_EQ(rc, 13) << err;
        EXPECT_EQ(test::ReadFile(f), b);
        continue;
      }
      EXPECT_EQ(test::RunCommand("'" KIV_TOOL "' info '" + f + "'", &out), 0) << out;
      EXPECT_EQ(test::RunCommand("sox -V2 '" + f + "' -n", &out, &err), 0);
      EXPECT_EQ(err, "");
      // ffmpeg's notes on any mono WAVE or empty input are no complaint.
      EXPECT_EQ(test::RunCommand("ffmpeg -nostdin -v warning -i '" + f + "' -f null - 2>&1 | grep -v -e "
                                 "'Guessed Channel Layout' -e 'Output file is empty' -e 'check for SPDIF' >&2",
                                 &out, &err),
                1);
      EXPECT_EQ(err, "");
      // Run again: nothing left to do, nothing changes.
      Bytes once = test::ReadFile(f);
      EXPECT_EQ(test::RunCommand("'" KIV_TOOL "' repair '" + f + "'"), 0);
      EXPECT_EQ(test::ReadFile(f), once);
    }
  }
}

TEST(RepairTool, DryRunWritesNothingAndDirectoriesAreRefused) {
  test::ScratchDir dir;
  Bytes crashed = CrashedRecording(true, false);
  test::WriteFile(dir.path("c.wav"), crashed);
  std::string out;
  EXPECT_EQ(test::RunCommand("'" KIV_TOOL "' repair --dry-run '" + dir.path("c.wav") + "'", &out), 0);
  EXPECT_NE(out.find("dry run"), std::string::npos) << out;
  EXPECT_EQ(test::ReadFile(dir.path("c.wav")), crashed);
  EXPECT_EQ(test::RunCommand("'" KIV_TOOL "' info '" + dir.path("c.wav") + "'", &out), 11);
  EXPECT_NE(out.find("kivgsm repair"), std::string::npos) << "info does not suggest repair:\n" << out;
  EXPECT_EQ(test::RunCommand("'" KIV_TOOL "' repair '" + dir.path("") + "'"), 13);
}

// Files that other writers make valid, which the reader must judge so and
// repair must leave alone.
struct ValidFile {
  const char* name;
  std::function<Bytes()> make;
  double seconds;
};

Bytes Chunk(const char* id, const Bytes& body) {
  Bytes c(id, id + 4);
  for (int i = 0; i < 4; ++i) c.push_back(static_cast<unsigned char>(body.size() >> (8 * i)));
  c.insert(c.end(), body.begin(), body.end());
  if (body.size() % 2) c.push_back(0);
  return c;
}

Bytes Riff(const std::vector<Bytes>& chunks) {
  Bytes all;
  for (const Bytes& c : chunks) all.insert(all.end(), c.begin(), c.end());
  Bytes r = Chunk("RIFF", Bytes{'W', 'A', 'V', 'E'});
  r.insert(r.end(), all.begin(), all.end());
  std::uint32_t size = static_cast<std::uint32_t>(r.size() - 8);
  for (int i = 0; i < 4; ++i) r[4 + i] = static_cast<unsigned char>(size >> (8 * i));
  return r;
}

const Bytes kPcmFmt = {1, 0, 1, 0, 0x40, 0x1f, 0, 0, 0x80, 0x3e, 0, 0, 2, 0, 16, 0};
const Bytes kGsmFmt = {0x31, 0, 1, 0, 0x40, 0x1f, 0, 0, 0x59, 6, 0, 0, 65, 0, 0, 0, 2, 0, 0x40, 1};

Bytes GsmWith(std::size_t blocks, std::uint32_t samples, const std::vector<Bytes>& after) {
  std::vector<Bytes> chunks = {Chunk("fmt ", kGsmFmt),
                               Chunk("fact", {static_cast<unsigned char>(samples), static_cast<unsigned char>(samples >> 8), 0, 0}),
                               Chunk("data", Bytes(65 * blocks, 0x5a))};
  chunks.insert(chunks.end(), after.begin(), after.end());
  return Riff(chunks);
}

class ValidWave : public ::testing::TestWithParam<ValidFile> {};

TEST_P(ValidWave, IsJudgedValidAndLeftAlone) {
  Bytes b = GetParam().make();
  WaveInfo w = tool::InspectWave(b.data(), b.size());
  EXPECT_TRUE(w.consistent) << tool::FormatWaveInfo(w);
  EXPECT_DOUBLE_EQ(w.seconds, GetParam().seconds);
  EXPECT_EQ(tool::PlanRepair(tool::MemoryBytes(b.data(), b.size())).action, RepairPlan::Action::kNothing);
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

TEST(WaveInfoProblems, PcmWithoutBitsPerSampleHasNoLengthAndIsNotRepaired) {
  Bytes fmt = kPcmFmt;
  fmt[12] = fmt[14] = 0;  // block alignment and bits per sample 0
  Bytes b = Riff({Chunk("fmt ", fmt), Chunk("data", Bytes(100, 1))});
  WaveInfo w = tool::InspectWave(b.data(), b.size());
  EXPECT_FALSE(w.consistent);
  EXPECT_EQ(w.seconds, 0.0);
  EXPECT_EQ(tool::FormatWaveInfo(w).find("nan"), std::string::npos);
  EXPECT_EQ(tool::PlanRepair(tool::MemoryBytes(b.data(), b.size())).action, RepairPlan::Action::kRefuse);
}

}  // namespace
}  // namespace kiv
