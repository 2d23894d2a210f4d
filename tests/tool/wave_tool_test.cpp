// SPDX-License-Identifier: MIT
// The tool's WAVE commands as a user runs them: decode, info and repair
// follow the format's one judgement of a file, refuse what they cannot
// read at once, and leave what they refuse as it was.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <functional>

#include "formats/wave_format.h"
#include "formats/wave_reader.h"
#include "kivgsm.h"
#include "support/wave_files.h"
#include "support/test_files.h"

namespace kiv {
namespace {

using test::Bytes;
using test::Put32;

std::string Tool(const std::string& args) { return "'" KIV_TOOL "' " + args; }

// A finished GSM WAVE file of `blocks` blocks of speech, from the library.
Bytes GsmFile(std::uint32_t blocks) {
  test::ScratchDir dir;
  Bytes speech = test::SpeechSample(), raw;
  while (raw.size() < std::size_t{blocks} * kGsmBlockInputBytes) raw.insert(raw.end(), speech.begin(), speech.end());
  raw.resize(std::size_t{blocks} * kGsmBlockInputBytes);
  test::WriteFile(dir.path("in.raw"), raw);
  EXPECT_EQ(KivWave2GSM610(test::Path16(dir.path("in.raw")).c_str(), test::Path16(dir.path("g.wav")).c_str()), KIV_OK);
  return test::ReadFile(dir.path("g.wav"));
}

struct DecodeCase {
  const char* name;
  std::uint32_t blocks;
  std::function<void(Bytes*)> damage;
  int exit_code;
  std::uint64_t samples;  // in the decoded file, when it exits 0
  const char* said;       // on stderr; "" for nothing
};

class ToolDecode : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(ToolDecode, FollowsTheReadersJudgement) {
  const DecodeCase& c = GetParam();
  test::ScratchDir dir;
  Bytes gsm = GsmFile(c.blocks);
  c.damage(&gsm);
  test::WriteFile(dir.path("g.wav"), gsm);
  std::string out, err;
  int rc = test::RunCommand(Tool("decode '" + dir.path("g.wav") + "' '" + dir.path("d.wav") + "'"), &out, &err);
  ASSERT_EQ(rc, c.exit_code) << err;
  if (*c.said == '\0') {
    EXPECT_EQ(err, "");
  } else {
    EXPECT_NE(err.find(c.said), std::string::npos) << err;
  }
  if (rc != 0) {
    EXPECT_FALSE(test::Exists(dir.path("d.wav")));
    return;
  }
  Bytes pcm = test::ReadFile(dir.path("d.wav"));
  WaveInfo w = InspectWave(pcm.data(), pcm.size());
  EXPECT_TRUE(w.consistent) << test::Problems(w);
  EXPECT_EQ(w.frames, c.samples);
}

INSTANTIATE_TEST_SUITE_P(
    Headers, ToolDecode,
    ::testing::Values(
        DecodeCase{"Finished", 50, [](Bytes*) {}, 0, 50 * kGsmSamplesPerBlock, ""},
        // A count that leaves out the last block's padding is the count.
        DecodeCase{"CountWithoutPadding", 50, [](Bytes* b) { Put32(b, kGsmSampleCountOffset, 15900); }, 0, 15900, ""},
        // A crash leaves the placeholders: every block present, not the
        // placeholder count.
        DecodeCase{"UnfinishedPastThePlaceholderCount", 7000,
                   [](Bytes* b) {
                     Put32(b, kGsmRiffSizeOffset, kPlaceholderSizeValue);
                     Put32(b, kGsmSampleCountOffset, kPlaceholderSampleCount);
                     Put32(b, kGsmDataSizeOffset, kPlaceholderSizeValue);
                   },
                   0, 7000 * kGsmSamplesPerBlock, "never finished"},
        // A writer killed part-way: count 0, sizes all ones.
        DecodeCase{"CountDisagreesWithTheBlocks", 4031,
                   [](Bytes* b) {
                     Put32(b, kGsmRiffSizeOffset, 0xFFFFFFFFu);
                     Put32(b, kGsmSampleCountOffset, 0);
                     Put32(b, kGsmDataSizeOffset, 0xFFFFFFFFu);
                   },
                   0, 4031 * kGsmSamplesPerBlock, "disagrees with the 4031 whole blocks"},
        DecodeCase{"Claims16kHz", 10, [](Bytes* b) { Put32(b, 24, 16000); }, 5, 0, "claims GSM 06.10 at 16000 Hz"},
        DecodeCase{"ClaimsTwoChannels", 10, [](Bytes* b) { (*b)[22] = 2; }, 5, 0, "2 channels"},
        DecodeCase{"Claims33ByteBlocks", 10, [](Bytes* b) { (*b)[32] = 33; }, 5, 0, "33-byte blocks"},
        // What is refused is named as what it is.
        DecodeCase{"PcmWave", 10, [](Bytes* b) { (*b)[20] = 1; }, 5, 0, "a WAVE file of format 0x0001, not GSM 06.10"},
        DecodeCase{"NotWave", 10, [](Bytes* b) { (*b)[0] = 'X'; }, 5, 0, "not a WAVE file"},
        DecodeCase{"NoFormatChunk", 10, [](Bytes* b) { (*b)[12] = 'x'; }, 5, 0, "a WAVE file with no format chunk"},
        DecodeCase{"NoDataChunk", 10, [](Bytes* b) { (*b)[52] = 'x'; }, 5, 0, "a GSM WAVE file with no data chunk"},
        DecodeCase{"NeverWrittenPcmHeader", 10, [](Bytes* b) { std::fill(b->begin(), b->begin() + 44, 0); }, 5, 0,
                   "a PCM recording whose header was never written"}),
    [](const auto& info) { return std::string(info.param.name); });

// A decode into a file given as standard output that fails (here, past
// the file-size limit) takes back what it wrote: the file holds what the
// shell wrote before it, as a named output would be left as it was.
TEST(ToolDecode, AFailedDecodeToAStandardOutputFileTakesItsBytesBack) {
  test::ScratchDir dir;
  test::WriteFile(dir.path("g.wav"), GsmFile(2000));  // 2.5 MB of PCM decoded
  std::string err;
  int rc = test::RunCommand("bash -c \"ulimit -f 1000; { echo before; " + Tool("decode '" + dir.path("g.wav") + "' -") +
                                "; } >'" + dir.path("d.wav") + "'\"",
                            nullptr, &err);
  EXPECT_EQ(rc, 7) << err;
  EXPECT_EQ(test::ReadFile(dir.path("d.wav")), (Bytes{'b', 'e', 'f', 'o', 'r', 'e', '\n'}));
}

// A FIFO is refused at once, never waited on, and never opened: a program
// waiting to read it (the FIFO's real user) does not get an end of file.
TEST(ToolWave, FifoInputsAreRefusedWithoutBlockingOrOpening) {
  test::ScratchDir dir;
  ASSERT_EQ(mkfifo(dir.path("f").c_str(), 0600), 0);
  const std::string f = "'" + dir.path("f") + "'";
  for (auto [args, code] : {std::pair{"info " + f, 12}, {"info --json " + f, 12}, {"repair " + f, 13},
                            {"decode " + f + " '" + dir.path("d.wav") + "'", 5}}) {
    std::string err;
    const std::string reader = "(timeout 2 cat " + f + " >/dev/null; echo \\$? >" + dir.path("reader") + ") & sleep 0.3; ";
    EXPECT_EQ(test::RunCommand("bash -c \"" + reader + "timeout 10 " + Tool(args) + " </dev/null; s=\\$?; wait; exit \\$s\"",
                               nullptr, &err),
              code)
        << args;
    EXPECT_NE(err.find("not a regular file"), std::string::npos) << args << ": " << err;
    EXPECT_EQ(test::ReadFile(dir.path("reader")), (Bytes{'1', '2', '4', '\n'})) << args << ": the reader was disturbed";
  }
}

// The same through the tool, at a sample of cuts: a repaired file is one
// that kivgsm info, sox and ffmpeg all read without a word of complaint,
// and a refused one is left exactly as it was.
TEST(RepairTool, RepairedFilesSatisfyInfoSoxAndFfmpegAndRefusedOnesStayAsTheyWere) {
  test::ScratchDir dir;
  std::string f = dir.path("f.wav");
  for (bool gsm : {true, false}) {
    Bytes crashed = test::CrashedRecording(gsm, false);
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
  Bytes crashed = test::CrashedRecording(true, false);
  test::WriteFile(dir.path("c d.wav"), crashed);
  std::string out;
  EXPECT_EQ(test::RunCommand("'" KIV_TOOL "' repair --dry-run '" + dir.path("c d.wav") + "'", &out), 0);
  EXPECT_NE(out.find("dry run"), std::string::npos) << out;
  EXPECT_EQ(test::ReadFile(dir.path("c d.wav")), crashed);
  EXPECT_EQ(test::RunCommand("'" KIV_TOOL "' info '" + dir.path("c d.wav") + "'", &out), 11);
  // The hint can be pasted as it stands: the name is quoted.
  EXPECT_NE(out.find("kivgsm repair '" + dir.path("c d.wav") + "'"), std::string::npos) << out;
  EXPECT_EQ(test::RunCommand("'" KIV_TOOL "' repair '" + dir.path("") + "'"), 13);
}

TEST(ToolInfo, JsonCarriesTheSameFieldsAndTheError) {
  test::ScratchDir dir;
  test::WriteFile(dir.path("in.raw"), test::SpeechSample());
  ASSERT_EQ(test::RunCommand("'" KIV_TOOL "' convert '" + dir.path("in.raw") + "' '" + dir.path("g.wav") + "'"), 0);
  std::string json;
  EXPECT_EQ(test::RunCommand("'" KIV_TOOL "' info --json '" + dir.path("g.wav") + "' | python3 -c 'import json,sys; "
                             "d=json.load(sys.stdin); print(d[\"kind\"], d[\"sample_count\"], d[\"consistent\"], "
                             "d[\"problems\"])'",
                             &json),
            0);
  EXPECT_EQ(json, "gsm 71680 True []\n");
  EXPECT_EQ(test::RunCommand(Tool("info --json '" + dir.path("missing.wav") +
                                  "' | python3 -c 'import json,sys; print(json.load(sys.stdin)[\"error\"])'"),
                             &json),
            0);
  EXPECT_NE(json.find("does not exist"), std::string::npos) << json;
  EXPECT_EQ(test::RunCommand(Tool("info --json '" + dir.path("missing.wav") + "' >/dev/null")), 12);
}

// A name that is not UTF-8 (Latin-1 "café") keeps --json valid JSON, and
// its byte shows.
TEST(ToolWave, InfoJsonOfANonUtf8NameIsValidJson) {
  test::ScratchDir dir;
  const std::string name = dir.path("caf\xe9.wav");
  test::WriteFile(name, GsmFile(2));
  for (const std::string& f : {name, name + ".missing"}) {
    std::string out;
    test::RunCommand(Tool("info --json '" + f + "'"), &out);
    test::WriteFile(dir.path("out.json"), Bytes(out.begin(), out.end()));
    EXPECT_EQ(test::RunCommand("python3 -c 'import json,sys; json.load(open(sys.argv[1], encoding=\"utf-8\"))' '" +
                               dir.path("out.json") + "'"),
              0)
        << out;
    if (f != name) {
      EXPECT_NE(out.find("caf\\\\xe9.wav"), std::string::npos) << out;
    }
  }
}

}  // namespace
}  // namespace kiv
