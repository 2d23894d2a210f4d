// SPDX-License-Identifier: MIT
// The kivgsm tool as a user runs it: exit codes and messages.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "support/test_files.h"

using kiv::test::Bytes;

namespace kiv {
namespace {

struct Invocation {
  const char* name;
  std::string args;  // %d is the scratch directory
  std::string alsa;  // ALSA configuration text, or empty
  int exit_code;
  std::string message;  // expected on stderr (or, for --help, stdout)
  std::string env = "";  // more of the environment, before the command
};

std::string Expand(std::string s, const std::string& dir) {
  for (std::size_t p; (p = s.find("%d")) != std::string::npos;) s.replace(p, 2, dir);
  return s;
}

const std::string kNoDevice = test::kAlsaNoDeviceConfig;
// A libasound that cannot be loaded comes first in the library path.
const std::string kBrokenAlsa = "LD_LIBRARY_PATH='%d/broken'";

class ToolRun : public ::testing::TestWithParam<Invocation> {};

TEST_P(ToolRun, ExitsWithItsCodeAndSaysWhy) {
  test::ScratchDir dir;
  const Invocation& inv = GetParam();
#if defined(KIV_EMULATED)
  // The emulator that runs the tool sets its library path itself.
  if (inv.env.find("LD_LIBRARY_PATH") != std::string::npos) GTEST_SKIP() << "the library path is the emulator's";
#endif
  std::string env = Expand(inv.env, dir.path("")) + " ";
  if (!inv.alsa.empty()) {
    std::ofstream(dir.path("asound.conf")) << inv.alsa;
    env += "ALSA_CONFIG_PATH='" + dir.path("asound.conf") + "' ";
  }
  test::WriteFile(dir.path("in.raw"), test::SpeechSample());
  std::filesystem::create_directory(dir.path("broken"));
  std::ofstream(dir.path("broken/libasound.so.2")) << "not a shared library";
  std::string out, err;
  int rc = test::RunCommand(env + "'" KIV_TOOL "' " + Expand(inv.args, dir.path("")) + " </dev/null", &out, &err);
  EXPECT_EQ(rc, inv.exit_code) << err;
  EXPECT_NE((err + out).find(inv.message), std::string::npos) << err << out;
}

INSTANTIATE_TEST_SUITE_P(
    Record, ToolRun,
    ::testing::Values(
        Invocation{"NoArguments", "record", "", 64, "OUT is required"},
        Invocation{"BadSeconds", "record %d/a.wav --seconds soon", "", 64, "--seconds needs a number"},
        Invocation{"UnknownOption", "record --loud %d/a.wav", "", 64, "not expected: --loud"},
        Invocation{"TwoOutputs", "record %d/a.wav %d/b.wav", "", 64, "not expected: " },
        Invocation{"DeviceOutput", "record /dev/null --seconds 1", "", 4, "not standard output, a pipe, a device"},
        Invocation{"MissingDirectory", "record %d/missing/a.wav --seconds 0", "", 4, "cannot create the output file"},
        Invocation{"NoDevice", "record %d/a.wav", kNoDevice, 1, "no audio input device"},
        Invocation{"NoDevicePcm", "record --pcm %d/a.wav", kNoDevice, 1, "left as an empty recording"},
        Invocation{"NoAlsaLibrary", "-v record %d/a.wav", "", 1, "libasound.so.2", kBrokenAlsa},
        // Seconds of audio, not of waiting: this device delivers far faster than real time.
        Invocation{"SecondsOfAudio", "record %d/a.wav --seconds 1", test::AlsaFilePluginConfig(KIV_SPEECH_SAMPLE), 0,
                   "recorded 1.0 s of GSM audio"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Convert, ToolRun,
    ::testing::Values(Invocation{"MissingInput", "convert %d/absent.raw %d/o.wav", "", 5, "absent.raw: cannot open"},
                      Invocation{"OutputIsInput", "convert %d/in.raw %d/in.raw", "", 9, "the output is the input"},
                      Invocation{"NoDirectory", "convert %d/in.raw %d/no/o.wav", "", 4,
                                 "cannot create the output file: No such file or directory"},
                      Invocation{"DeviceOutput", "convert %d/in.raw /dev/full", "", 4, "not standard output, a pipe, a device"},
                      Invocation{"NoFolder", "convert -o %d/in.raw %d/in.raw %d/x.raw", "", 4, "in.raw: not a folder"},
                      // Converting needs no audio input, nor the library for one.
                      Invocation{"NoAlsaLibrary", "convert %d/in.raw %d/o.wav", "", 0, "14620 bytes written",
                                 kBrokenAlsa},
                      Invocation{"Usage", "convert", "", 64, "convert takes IN OUT"},
                      Invocation{"UsageNamesTheProgram", "convert --help", "", 0, "Usage: kivgsm convert"},
                      Invocation{"UnknownCommand", "frob %d/in.raw", "", 64, "unknown command 'frob'"},
                      Invocation{"JobsZero", "convert -j 0 -o %d %d/in.raw", "", 64, "a whole number of conversions"},
                      // A name of 251 + 4 bytes is legal; so must its temporary name be.
                      Invocation{"LongestName", "convert %d/in.raw %d/" + std::string(251, 'n') + ".wav", "", 0, ""}),
    [](const auto& info) { return std::string(info.param.name); });

// A path the system cannot look up (here, one longer than it takes) is
// reported with the system's reason, never as missing, nor by a crash.
const std::string kTooLong = "%d/" + std::string(4100, 'd');

INSTANTIATE_TEST_SUITE_P(
    Paths, ToolRun,
    ::testing::Values(Invocation{"OutputFolder", "convert -o " + kTooLong + " %d/in.raw", "", 4, "File name too long"},
                      Invocation{"OutputFolderNotPermitted", "convert -o /sys/kivgsm %d/in.raw", "", 4,
                                 "cannot create the folder: Operation not permitted"},
                      Invocation{"Info", "info " + kTooLong, "", 12, "File name too long"},
                      Invocation{"Decode", "decode " + kTooLong + " %d/o.wav", "", 5, "File name too long"}),
    [](const auto& info) { return std::string(info.param.name); });

// With no input to record from, a file that the recording was to replace
// is left as it was (a new name is left as an empty recording).
class ToolRecordNoDevice : public ::testing::TestWithParam<const char*> {};

TEST_P(ToolRecordNoDevice, LeavesAnExistingFileAsItWas) {
  test::ScratchDir dir;
  std::ofstream(dir.path("asound.conf")) << kNoDevice;
  const Bytes memo = test::SpeechSample();
  test::WriteFile(dir.path("memo.wav"), memo);
  std::string err;
  int rc = test::RunCommand("ALSA_CONFIG_PATH='" + dir.path("asound.conf") + "' '" KIV_TOOL "' record " + GetParam() +
                                " '" + dir.path("memo.wav") + "' </dev/null",
                            nullptr, &err);
  EXPECT_EQ(rc, KIV_ERR_DEVICE_OPEN) << err;
  EXPECT_NE(err.find("memo.wav was left as it was"), std::string::npos) << err;
  EXPECT_EQ(test::ReadFile(dir.path("memo.wav")), memo);
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path(""))) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"asound.conf", "memo.wav"}));
}

INSTANTIATE_TEST_SUITE_P(Formats, ToolRecordNoDevice, ::testing::Values("", "--pcm"));

// A file in a folder this user may not write cannot be set aside; it is
// recorded over in place, as the library alone would.
TEST(ToolRecord, RecordsOverAFileInAFolderItMayNotWrite) {
  if (::geteuid() != 0) GTEST_SKIP() << "acting as another user needs root";
  test::ScratchDir dir;
  test::WriteFile(dir.path("known.raw"), test::SpeechSample());
  std::ofstream(dir.path("asound.conf")) << test::AlsaFilePluginConfig(dir.path("known.raw"));
  std::string err;
  int rc = test::RunCommand("chmod 755 '" + dir.path("") + "' && mkdir '" + dir.path("ro") + "' && touch '" +
                                dir.path("ro/m.wav") + "' && chown nobody '" + dir.path("ro/m.wav") + "' && chmod 555 '" +
                                dir.path("ro") + "' && ALSA_CONFIG_PATH='" + dir.path("asound.conf") +
                                "' setpriv --reuid=nobody --regid=nogroup --clear-groups '" KIV_TOOL
                                "' record --seconds 0.5 '" + dir.path("ro/m.wav") + "' </dev/null",
                            nullptr, &err);
  EXPECT_EQ(rc, 0) << err;
  std::string info;
  EXPECT_EQ(test::RunCommand("'" KIV_TOOL "' info '" + dir.path("ro/m.wav") + "'", &info), 0) << info;
  EXPECT_NE(info.find("GSM 06.10 WAVE"), std::string::npos) << info;
}

// Every terminating signal that can be caught finishes the file, and the
// tool then ends as that signal would have ended it.
class ToolRecordSignal : public ::testing::TestWithParam<int> {};

TEST_P(ToolRecordSignal, FinishesTheFileAndEndsWithTheSignalsStatus) {
  int sig = GetParam();
  test::ScratchDir dir;
  test::WriteFile(dir.path("known.raw"), test::SpeechSample());
  std::ofstream(dir.path("asound.conf")) << test::AlsaFilePluginConfig(dir.path("known.raw"));
  std::string out;
  int rc = test::RunCommand("ALSA_CONFIG_PATH='" + dir.path("asound.conf") + "' timeout --preserve-status -s " +
                                std::to_string(sig) + " 0.5 '" KIV_TOOL "' record '" + dir.path("r.wav") +
                                "' </dev/null",
                            &out);
  EXPECT_EQ(rc, 128 + sig);
  EXPECT_NE(out.find("recorded "), std::string::npos) << out;
  std::string info;
  EXPECT_EQ(test::RunCommand("'" KIV_TOOL "' info '" + dir.path("r.wav") + "'", &info), 0) << info;
  EXPECT_NE(info.find("GSM 06.10 WAVE"), std::string::npos) << info;
}

// The same signal twice in a row (timeout(1) signals the command, then its
// process group) is one request: the file is still finished.
TEST(ToolRecord, ARepeatedSignalIsOneRequest) {
  test::ScratchDir dir;
  test::WriteFile(dir.path("known.raw"), test::SpeechSample());
  std::ofstream(dir.path("asound.conf")) << test::AlsaFilePluginConfig(dir.path("known.raw"));
  std::string out;
  int rc = test::RunCommand("bash -c \"ALSA_CONFIG_PATH='" + dir.path("asound.conf") + "' '" KIV_TOOL "' record '" +
                                dir.path("r.wav") + "' </dev/null & p=\\$!; sleep 0.5; kill -TERM \\$p; " +
                                "kill -TERM \\$p; wait \\$p\"",
                            &out);
  EXPECT_EQ(rc, 128 + SIGTERM);
  EXPECT_NE(out.find("recorded "), std::string::npos) << out;
  EXPECT_EQ(test::RunCommand("'" KIV_TOOL "' info '" + dir.path("r.wav") + "' >/dev/null"), 0);
}

INSTANTIATE_TEST_SUITE_P(Signals, ToolRecordSignal,
                         ::testing::Values(SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGPIPE, SIGUSR1, SIGALRM),
                         [](const auto& info) { return std::string(sigabbrev_np(info.param)); });

TEST(ToolRecord, AVanishedStdoutReaderLosesNothing) {
  test::ScratchDir dir;
  test::WriteFile(dir.path("known.raw"), test::SpeechSample());
  std::ofstream(dir.path("asound.conf")) << test::AlsaFilePluginConfig(dir.path("known.raw"));
  test::RunCommand("ALSA_CONFIG_PATH='" + dir.path("asound.conf") + "' '" KIV_TOOL "' record --pcm --seconds 0.3 '" +
                   dir.path("r.wav") + "' </dev/null | true");
  EXPECT_EQ(test::RunCommand("'" KIV_TOOL "' info '" + dir.path("r.wav") + "'"), 0);
}

}  // namespace
}  // namespace kiv
