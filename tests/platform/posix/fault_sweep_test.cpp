// SPDX-License-Identifier: MIT
// The library on a failing machine: for each entry point, a host runs once
// to count the C library calls the operation makes (allocation, open,
// read, write, fsync, lseek, close, rename, ftruncate, thread start), then
// once per call with that call failing, and after each run the invariants
// are checked:
//   - the host was not killed and did not hang;
//   - the result is one of the table's codes;
//   - 999 only over the exact file, Stop's seconds only over a finished
//     one, KIV_STOP_UNFINISHED and 7 only over a file that repair finishes;
//   - the input is never modified, and an existing output is kept unless
//     what replaced it is finished (or, on 7, finishable); a new name is
//     at most left empty;
//   - the same call made again works, and no descriptor is left open.
// Recordings capture ALSA's null device. The tool's commands are swept
// the same way below.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "formats/wave_reader.h"
#include "formats/wave_repair.h"
#include "kivgsm.h"
#include "support/test_files.h"
#include "support/wave_files.h"

namespace kiv {
namespace {

using test::Bytes;

struct Scenario {
  const char* name;
  const char* op;          // the host's operation: convert, gsm or pcm
  bool output_exists;      // the output holds other bytes before the call
  bool onto_input = false; // convert the input onto itself
};

struct Outcome {
  bool ran = false;  // exited by itself, with the host's own status
  std::map<std::string, long> said;
  std::string text;
};

// The most runs per function: where a call is made thousands of times (the
// allocations of ALSA's configuration), every so many is failed instead.
constexpr long kMostRunsPerFunction = 24;

class FaultSweep : public ::testing::TestWithParam<Scenario> {
 protected:
  void SetUp() override {
    Bytes speech = test::SpeechSample();
    speech.resize(640 * 25 + 100);  // 25 blocks and a trailing piece
    input_ = speech;
    test::WriteFile(dir_.path("in.raw"), input_);
    // ALSA's null device: silence, as fast as it is read. (Its file plugin,
    // which could play known speech, itself crashes when one of its
    // allocations fails.)
    std::ofstream(dir_.path("asound.conf")) << "pcm.!default {\n type null\n}\n";
  }

  std::string Output() const { return GetParam().onto_input ? dir_.path("in.raw") : dir_.path("out.wav"); }

  // Runs the host with `fault` ("" for none), from a fresh output.
  Outcome Run(const std::string& fault, const std::string& counts = "") {
    const Scenario& s = GetParam();
    test::WriteFile(dir_.path("in.raw"), input_);
    for (const char* name : {"out.wav", "out.wav.warm", "out.wav.again", "in.raw.warm", "in.raw.again"})
      std::remove(dir_.path(name).c_str());
    if (s.output_exists && !s.onto_input) test::WriteFile(Output(), kExisting);
    std::string env = "LD_PRELOAD='" KIV_FAULT_SHIM "' ALSA_CONFIG_PATH='" + dir_.path("asound.conf") + "'";
    if (!fault.empty()) env += " KIV_FAULT=" + fault;
    if (!counts.empty()) env += " KIV_FAULT_COUNTS='" + counts + "'";
    std::string command = "timeout -s KILL 30 env " + env + " '" KIV_FAULT_HOST "' " + s.op;
    if (std::string(s.op) == "convert") command += " '" + dir_.path("in.raw") + "'";
    command += " '" + Output() + "'";
    Outcome o;
    o.ran = test::RunCommand(command, &o.text) == 0;
    std::istringstream lines(o.text);
    std::string key;
    long a = 0, b = 0;
    while (lines >> key >> a) {
      o.said[key] = a;
      if (key == "fds" && lines >> b) o.said["fds_after"] = b;
    }
    return o;
  }

  void ExpectInvariants(const Outcome& o) {
    const Scenario& s = GetParam();
    ASSERT_TRUE(o.ran) << "the host was killed or hung:\n" << o.text;
    ASSERT_EQ(o.said.count("result"), 1u) << o.text;
    const long rc = o.said.at("result"), stopped = o.said.at("stopped");
    const std::set<long> codes = std::string(s.op) == "convert" ? std::set<long>{999, 4, 5, 6, 7, 9, 10}
                                                                  : std::set<long>{999, 1, 2, 3, 4, 6, 7, 9};
    SCOPED_TRACE(o.text);
    EXPECT_EQ(codes.count(rc), 1u) << "result " << rc;
    if (!s.onto_input) {
      EXPECT_EQ(test::ReadFile(dir_.path("in.raw")), input_) << "the input was modified";
    }
    EXPECT_EQ(o.said.at("again"), KIV_OK) << "the same call made again failed";
    EXPECT_EQ(o.said.at("fds"), o.said.at("fds_after")) << "a descriptor was left open";

    const bool exists = test::Exists(Output());
    const Bytes out = exists ? test::ReadFile(Output()) : Bytes{};
    if (s.onto_input) {
      EXPECT_NE(rc, KIV_OK);
      EXPECT_EQ(out, input_) << "the input, given as the output, was modified";
      return;
    }
    const WaveInfo info = InspectWave(out.data(), out.size());
    const bool finished = info.consistent && !info.unfinished && !info.damaged;
    const bool finishable = PlanRepair(MemoryBytes(out.data(), out.size()), info).action != RepairPlan::Action::kRefuse;
    // A new name may be left as an empty file by a call that failed after
    // creating it; an existing file must hold what it held.
    const bool as_before = s.output_exists ? exists && out == kExisting : out.empty();
    if (std::string(s.op) == "convert") {
      if (rc == KIV_OK) {
        EXPECT_EQ(out, reference_) << "999 over a file that is not the conversion";
      } else {
        EXPECT_TRUE(as_before || finished || (rc == KIV_ERR_WRITE && finishable))
            << "result " << rc << ": the output was replaced by " << out.size() << " bytes that are not finished";
      }
      return;
    }
    const bool started = rc == KIV_OK || (rc >= KIV_ERR_DEVICE_OPEN && rc <= KIV_ERR_INPUT_START);
    if (!started) {
      // A 7 after the provisional header went in (the cut after it failed)
      // leaves that header, which repair finishes as an empty recording.
      EXPECT_TRUE(as_before || (rc == KIV_ERR_WRITE && finishable))
          << "Start returned " << rc << " but the output changed";
    } else if (stopped == KIV_STOP_UNFINISHED) {
      EXPECT_TRUE(finishable) << "an unfinished Stop over a file repair cannot finish";
    } else {
      EXPECT_GE(stopped, 0);
      EXPECT_TRUE(finished) << "Stop returned " << stopped << " s over an unfinished or damaged file";
      EXPECT_LE(static_cast<double>(stopped), info.seconds + 1e-9);
    }
  }

  static const Bytes kExisting;
  test::ScratchDir dir_;
  Bytes input_;
  Bytes reference_;
};

const Bytes FaultSweep::kExisting = {'k', 'e', 'e', 'p', ' ', 'm', 'e'};

// Fails each call that `counts` lists in turn (every so many where there
// are thousands), running `run` with the fault and judging it with
// `check`; returns the number of runs.
template <typename Run, typename Check>
long SweepEveryCall(const std::string& counts, Run run, Check check) {
  std::ifstream in(counts);
  std::string function;
  long calls = 0, runs = 0;
  while (in >> function >> calls) {
    const long stride = std::max(1L, calls / kMostRunsPerFunction);
    for (long n = 1; n <= calls; n = n == calls ? calls + 1 : std::min(n + stride, calls)) {
      const std::string fault = function + ":" + std::to_string(n);
      SCOPED_TRACE(fault + " of " + std::to_string(calls));
      check(run(fault));
      ++runs;
      if (::testing::Test::HasFatalFailure()) return runs;
    }
  }
  std::printf("%ld runs with one call failing\n", runs);
  return runs;
}

TEST_P(FaultSweep, EveryFailingCallKeepsTheInvariants) {
  const std::string counts = dir_.path("counts.txt");
  Outcome clean = Run("", counts);
  ASSERT_TRUE(clean.ran) << clean.text;
  if (!GetParam().onto_input) {
    ASSERT_EQ(clean.said.at("result"), KIV_OK) << clean.text;
    reference_ = test::ReadFile(Output());
  }
  EXPECT_GT(SweepEveryCall(
                counts, [this](const std::string& fault) { return Run(fault); },
                [this](const Outcome& o) { ExpectInvariants(o); }),
            0);
}

INSTANTIATE_TEST_SUITE_P(
    EntryPoints, FaultSweep,
    ::testing::Values(Scenario{"ConvertToANewFile", "convert", false},
                      Scenario{"ConvertOverAnExistingFile", "convert", true},
                      Scenario{"ConvertOntoItsInput", "convert", false, true},
                      Scenario{"RecordGsm", "gsm", false}, Scenario{"RecordGsmOverAnExistingFile", "gsm", true},
                      Scenario{"RecordPcm", "pcm", false}),
    [](const auto& info) { return std::string(info.param.name); });


// The tool's commands on the same failing machine, armed from main() on:
// every failure ends with a code from the table and a message (15 when
// memory or a thread ran out), 0 only over the exact output, and an
// existing output is replaced only by a finished file (or, from record's
// 7, one that repair finishes). No temporary file is left behind.
// Allocations made inside libsndfile and ALSA are spared: both crash when
// one of their own fails.
struct ToolScenario {
  const char* name;
  const char* command;  // IN and OUT stand for the input and the output
  bool record;
};

class ToolFaultSweep : public ::testing::TestWithParam<ToolScenario> {
 protected:
  void SetUp() override {
    Bytes speech = test::SpeechSample();
    speech.resize(640 * 25);
    Bytes fmt = {1, 0, 1, 0, 0x40, 0x1f, 0, 0, 0x80, 0x3e, 0, 0, 2, 0, 16, 0};
    test::WriteFile(dir_.path("speech.wav"), test::Riff({test::Chunk("fmt ", fmt), test::Chunk("data", speech)}));
    test::WriteFile(dir_.path("speech.raw"), speech);
    ASSERT_EQ(KivWave2GSM610(test::Path16(dir_.path("speech.raw")).c_str(), test::Path16(dir_.path("gsm.wav")).c_str()),
              KIV_OK);
    std::ofstream(dir_.path("asound.conf")) << "pcm.!default {\n type null\n}\n";
    input_ = std::string(GetParam().command).find("decode") == 0 ? "gsm.wav" : "speech.wav";
    input_bytes_ = test::ReadFile(dir_.path(input_));
  }

  // Runs the command from an existing output; its exit code, or -1 if it
  // was killed or hung.
  int Run(const std::string& fault, const std::string& counts = "") {
    test::WriteFile(dir_.path("out.wav"), kExisting);
    std::string command = GetParam().command;
    command.replace(command.find("OUT"), 3, "'" + dir_.path("out.wav") + "'");
    if (std::size_t in = command.find("IN"); in != std::string::npos)
      command.replace(in, 2, "'" + dir_.path(input_) + "'");
    std::string env = "LD_PRELOAD='" KIV_FAULT_SHIM "' KIV_FAULT_ARMED=main KIV_FAULT_SPARE=libsndfile,libasound"
                      " ALSA_CONFIG_PATH='" + dir_.path("asound.conf") + "'";
    if (!fault.empty()) env += " KIV_FAULT=" + fault;
    if (!counts.empty()) env += " KIV_FAULT_COUNTS='" + counts + "'";
    // Only the tool is preloaded: env sets LD_PRELOAD for what it runs.
    int code = test::RunCommand("timeout -s KILL 30 env " + env + " '" KIV_TOOL "' -q " + command + " </dev/null",
                                nullptr, &said_);
    return code >= 128 ? -1 : code;
  }

  void ExpectInvariants(int code) {
    SCOPED_TRACE(said_);
    ASSERT_GE(code, 0) << "the tool was killed or hung";
    EXPECT_EQ(std::set<int>({0, 1, 2, 3, 4, 5, 6, 7, 9, 10, 14, 15}).count(code), 1u) << "exit " << code;
    EXPECT_EQ(test::ReadFile(dir_.path(input_)), input_bytes_) << "the input was modified";
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path("")))
      EXPECT_EQ(entry.path().filename().string().find(".part"), std::string::npos) << entry.path() << " was left";
    const Bytes out = test::ReadFile(dir_.path("out.wav"));
    const WaveInfo info = InspectWave(out.data(), out.size());
    const bool finished = info.consistent && !info.unfinished && !info.damaged;
    if (code == 0) {
      if (GetParam().record) EXPECT_TRUE(finished) << "exit 0 over a file that is not finished";
      else EXPECT_EQ(out, reference_) << "exit 0 over a file that is not the output";
      return;
    }
    const bool finishable = PlanRepair(MemoryBytes(out.data(), out.size()), info).action != RepairPlan::Action::kRefuse;
    // A recording writes in place: whatever ends the command, its file is
    // finished (an empty recording when the device failed), or after 7 one
    // that repair finishes. Conversions put a partial file in place only on
    // 7 and 10.
    const bool record = GetParam().record;
    EXPECT_TRUE(out == kExisting || ((record || code == 7 || code == 10) && finished) ||
                (record && code == 7 && finishable))
        << "exit " << code << " left the output as " << out.size() << " bytes: "
        << (finished ? "a finished file" : finishable ? "a file repair finishes" : "a broken file");
  }

  static const Bytes kExisting;
  test::ScratchDir dir_;
  std::string input_;
  Bytes input_bytes_;
  Bytes reference_;
  std::string said_;
};

const Bytes ToolFaultSweep::kExisting = {'k', 'e', 'e', 'p', ' ', 'm', 'e'};

TEST_P(ToolFaultSweep, EveryFailingCallEndsWithACodeAndKeepsTheOutput) {
  const std::string counts = dir_.path("counts.txt");
  ASSERT_EQ(Run("", counts), 0) << said_;
  reference_ = test::ReadFile(dir_.path("out.wav"));
  std::filesystem::rename(counts, dir_.path("counted.txt"));
  EXPECT_GT(SweepEveryCall(
                dir_.path("counted.txt"), [this](const std::string& fault) { return Run(fault); },
                [this](int code) { ExpectInvariants(code); }),
            0);
}

INSTANTIATE_TEST_SUITE_P(Commands, ToolFaultSweep,
                         ::testing::Values(ToolScenario{"ConvertAWave", "convert IN OUT", false},
                                           ToolScenario{"Decode", "decode IN OUT", false},
                                           ToolScenario{"Record", "record --seconds 0.2 OUT", true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kiv
