// SPDX-License-Identifier: MIT
// The tool's habits as sox, flac and ffmpeg users expect them: -q, -v,
// "-" as the output, --no-clobber, -o making its folder, names in any
// encoding. Each case runs one shell script in a scratch folder, where
// ref.wav is the library's own conversion of in.raw, and then a check
// script that must succeed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "kivgsm.h"
#include "support/test_files.h"

namespace kiv {
namespace {

struct Habit {
  const char* name;
  std::string run;       // $K is the tool
  int exit_code;
  std::string out_has;   // in standard output; "" for none at all
  std::string err_has;   // in standard error; "" for none at all
  std::string check;     // a script that exits 0 when the files are right
};

class ToolHabit : public ::testing::TestWithParam<Habit> {};

int Script(const test::ScratchDir& dir, const std::string& name, const std::string& body, std::string* out = nullptr,
           std::string* err = nullptr) {
  std::ofstream(dir.path(name)) << "cd '" << dir.path("") << "' || exit 99\nK='" << (std::getenv("KIV_TOOL_UNDER_TEST") ? std::getenv("KIV_TOOL_UNDER_TEST") : KIV_TOOL) << "'\n" << body << "\n";
  return test::RunCommand("bash '" + dir.path(name) + "' </dev/null", out, err);
}

TEST_P(ToolHabit, DoesWhatPeersDo) {
  const Habit& h = GetParam();
  test::ScratchDir dir;
  test::WriteFile(dir.path("in.raw"), test::SpeechSample());
  ASSERT_EQ(KivWave2GSM610(test::Path16(dir.path("in.raw")).c_str(), test::Path16(dir.path("ref.wav")).c_str()),
            KIV_OK);
  std::string out, err;
  EXPECT_EQ(Script(dir, "run.sh", h.run, &out, &err), h.exit_code) << err;
  if (h.out_has.empty())
    EXPECT_EQ(out, "");
  else
    EXPECT_NE(out.find(h.out_has), std::string::npos) << out;
  if (h.err_has.empty())
    EXPECT_EQ(err, "");
  else
    EXPECT_NE(err.find(h.err_has), std::string::npos) << err;
  std::string why;
  EXPECT_EQ(Script(dir, "check.sh", h.check, &why, &why), 0) << why;
}

// The samples that ffmpeg and sox decode from a.wav and b.wav are the same.
std::string PeersDecodeAlike(const std::string& a, const std::string& b) {
  return "cmp <(ffmpeg -v error -i " + a + " -f s16le -) <(ffmpeg -v error -i " + b + " -f s16le -) && " +
         "cmp <(sox " + a + " -t s16 - 2>/dev/null) <(sox " + b + " -t s16 - 2>/dev/null) && " +
         "[ $(ffmpeg -v error -i " + b + " -f s16le - | wc -c) -gt 100000 ]";
}

INSTANTIATE_TEST_SUITE_P(
    Tool, ToolHabit,
    ::testing::Values(
        Habit{"QuietSaysNothing", "$K -q convert in.raw q.wav && $K convert -q -o qd in.raw", 0, "", "",
              "cmp q.wav ref.wav && cmp qd/in.wav ref.wav"},
        Habit{"QuietStillSaysErrors", "$K -q convert missing.raw q.wav", 5, "", "missing.raw: cannot open", "true"},
        Habit{"VerboseSaysWhatWasFound", "sox -t s16 -r 8000 -c 1 in.raw -r 44100 -c 2 in.flac && $K -v convert in.flac v.wav",
              0, "written to v.wav", "FLAC, decoded by libFLAC: 44100 Hz stereo", "test -s v.wav"},
        Habit{"StdoutToAFileIsByteIdentical", "$K convert in.raw - >s.wav", 0, "", "written to standard output",
              "cmp s.wav ref.wav"},
        // Between other output: the file starts where the shell was and
        // leaves the offset at its end.
        Habit{"StdoutBetweenOtherOutput", "{ echo first; $K -q convert in.raw -; echo last; } >s.wav", 0, "", "",
              "cmp <(head -c -5 s.wav | tail -c +7) ref.wav && [ \"$(head -1 s.wav)$(tail -c 5 s.wav)\" = firstlast ]"},
        Habit{"StdoutThroughAPipe", "$K -q convert in.raw - | cat >p.wav", 0, "", "",
              PeersDecodeAlike("ref.wav", "p.wav") + " && [ $(od -An -tu4 -j48 -N4 p.wav) = 0 ] && " +
                  "$K repair p.wav >/dev/null && cmp p.wav ref.wav"},
        Habit{"StdoutThatIsTheInput", "cp in.raw l.raw && $K convert --raw l.raw - >>l.raw", 9, "",
              "the output is the input", "cmp l.raw in.raw"},
        Habit{"OutputThatStdinReads", "cp ref.wav x.wav && $K convert - x.wav <x.wav", 9, "", "the output is the input",
              "cmp x.wav ref.wav"},
        Habit{"StdoutClosed", "$K convert in.raw - >&-", 4, "", "standard output is closed", "true"},
        Habit{"StdoutReaderEndsEarly",
              "head -c 4000000 /dev/zero >long.raw && $K convert long.raw - | head -c 100 >/dev/null; exit ${PIPESTATUS[0]}", 7, "",
              "writing to standard output failed", "true"},
        Habit{"StdoutKeepsNothingOfAFailure", "head -c 20 ref.wav >bad.wav && $K convert bad.wav - >s.wav", 5, "",
              "bad.wav", "[ ! -s s.wav ]"},
        Habit{"DecodeToStdoutThroughAPipe", "$K -q decode ref.wav - | cat >p.wav && $K -q decode ref.wav d.wav", 0, "",
              "", PeersDecodeAlike("d.wav", "p.wav") + " && cmp <(tail -c +45 p.wav) <(tail -c +45 d.wav)"},
        Habit{"DecodeToStdoutFileIsByteIdentical", "$K -q decode ref.wav - >s.wav && $K -q decode ref.wav d.wav", 0,
              "", "", "cmp s.wav d.wav"},
        Habit{"NoAudioToATerminal", "script -qec \"$K convert in.raw -\" /dev/null", 4, "standard output is a terminal",
              "", "true"},
        Habit{"NoAudioFromATerminal", "script -qec \"timeout 10 $K convert - x.wav\" /dev/null", 5, "standard input is a terminal",
              "", "[ ! -e x.wav ]"},
        Habit{"NoClobberSkipsAndCounts",
              "mkdir out && echo kept >out/in.wav && cp in.raw other.raw && $K convert -n -o out in.raw other.raw", 0,
              "1 of 2 files converted into out, 1 skipped", "", "[ \"$(cat out/in.wav)\" = kept ] && cmp out/other.wav ref.wav"},
        Habit{"NoClobberOneFile", "echo kept >o.wav && $K convert --no-clobber in.raw o.wav", 0, "o.wav exists; left as it is",
              "", "[ \"$(cat o.wav)\" = kept ]"},
        Habit{"NoClobberSkipsWhatItMayNotWrite", "mkdir -p out/in.wav && $K convert -n -o out in.raw", 0,
              "1 skipped", "", "[ -d out/in.wav ]"},
        Habit{"NoClobberPutsNoPartialFileInPlace", "(ulimit -f 2; $K -q convert -n -o out in.raw)", 7, "",
              "only a finished file is put in place", "[ ! -e out/in.wav ]"},
        Habit{"OutDirIsMade", "$K convert -o new/dir in.raw", 0, "1 of 1 files converted into new/dir", "",
              "cmp new/dir/in.wav ref.wav"},
        Habit{"OutDirIsNotMadeForARefusedRun", "$K convert -o new/dir --files-from missing.list", 5, "",
              "missing.list: cannot read", "[ ! -e new ]"},
        Habit{"OutDirThatNamesAFile", "$K convert -o o.wav in.raw", 64, "",
              "-o takes a folder; to name the output file, write: kivgsm convert 'in.raw' 'o.wav'", "[ ! -e o.wav ]"},
        Habit{"Latin1Names", "cp in.raw $'M\\xfcller.raw' && $K convert $'M\\xfcller.raw' $'M\\xfcller.wav'", 0,
              "written to M\\xfcller.wav", "", "cmp $'M\\xfcller.wav' ref.wav && [ $(ls | grep -c '^\\.') = 0 ]"},
        Habit{"Latin1NamesInABatch", "mkdir $'d\\xe9' && cp in.raw $'d\\xe9/\\xe9t\\xe9.raw' && $K convert -q -o $'\\xe9' $'d\\xe9/\\xe9t\\xe9.raw'",
              0, "", "", "cmp $'\\xe9/\\xe9t\\xe9.wav' ref.wav"},
        Habit{"UsageErrorsNameTheTool", "$K convert --loud in.raw o.wav", 64, "", "kivgsm: The following argument was not expected: --loud",
              "[ ! -e o.wav ]"},
        Habit{"QuietAndVerboseClash", "$K -q -v convert in.raw o.wav", 64, "", "kivgsm: --quiet and --verbose", "true"},
        Habit{"VersionNamesTheLibraries", "$K --version", 0, "libsoxr:", "",
              "$K --version | grep -q '^libsndfile: libsndfile-1' && $K --version | grep -q '^libgsm: *1\\.0\\.'"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kiv
