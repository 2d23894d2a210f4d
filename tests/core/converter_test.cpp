// SPDX-License-Identifier: MIT
// The converter end to end through its public entry point, and through the
// core with an injected file-system fault where a fault cannot be made real.
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>

#include "convert/gsm_file_converter.h"
#include "convert/gsm_wave_writer.h"
#include "kivgsm.h"
#include "support/fault_file_system.h"
#include "support/reference_gsm.h"
#include "support/test_files.h"
#include "platform/utf8_path.h"

namespace kiv {
namespace {

using test::Bytes;
using test::Le32;
using test::Path16;
using test::ScratchDir;

int32_t Convert(const std::string& in, const std::string& out) {
  return KivWave2GSM610(Path16(in).c_str(), Path16(out).c_str());
}

Bytes SpeechPrefix(std::size_t n) {
  Bytes s = test::SpeechSample();
  EXPECT_GE(s.size(), n);
  s.resize(n);
  return s;
}

Bytes ConvertBytes(const Bytes& input, int32_t* rc = nullptr) {
  ScratchDir dir;
  test::WriteFile(dir.path("in.raw"), input);
  int32_t r = Convert(dir.path("in.raw"), dir.path("out.wav"));
  if (rc) *rc = r;
  EXPECT_EQ(r, KIV_OK);
  return test::ReadFile(dir.path("out.wav"));
}

Bytes Payload(const Bytes& wav) { return Bytes(wav.begin() + std::min<std::size_t>(60, wav.size()), wav.end()); }

// One row per header field: offset, the expected bytes for N blocks.
struct Field {
  std::size_t offset;
  std::function<Bytes(std::uint32_t blocks)> bytes;
};
Bytes Tag(const char* t) { return Bytes(t, t + std::strlen(t)); }
Bytes U32(std::uint32_t v) { return {Bytes::value_type(v), Bytes::value_type(v >> 8), Bytes::value_type(v >> 16), Bytes::value_type(v >> 24)}; }
Bytes U16(std::uint16_t v) { return {Bytes::value_type(v), Bytes::value_type(v >> 8)}; }
auto Const(Bytes b) { return [b](std::uint32_t) { return b; }; }

const std::vector<Field>& ConstantFields() {
  static const std::vector<Field> rows = {
      {0, Const(Tag("RIFF"))},  {8, Const(Tag("WAVEfmt "))}, {16, Const(U32(20))},
      {20, Const(U16(0x31))},   {22, Const(U16(1))},         {24, Const(U32(8000))},
      {28, Const(U32(1625))},   {32, Const({0x41, 0, 0, 0})}, {36, Const({0x02, 0x00, 0x40, 0x01})},
      {40, Const(Tag("fact"))}, {44, Const(U32(4))},         {52, Const(Tag("data"))},
  };
  return rows;
}

void ExpectFields(const Bytes& wav, const std::vector<Field>& rows, std::uint32_t blocks) {
  for (const Field& f : rows) {
    Bytes want = f.bytes(blocks);
    ASSERT_GE(wav.size(), f.offset + want.size());
    EXPECT_EQ(Bytes(wav.begin() + f.offset, wav.begin() + f.offset + want.size()), want) << "offset " << f.offset;
  }
}

class FinishedHeader : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(FinishedHeader, DescribesTheBlocksWritten) {
  std::uint32_t n = GetParam();
  Bytes wav = ConvertBytes(SpeechPrefix(640 * n));
  ASSERT_EQ(wav.size(), 60 + 65 * n);
  ExpectFields(wav, ConstantFields(), n);
  ExpectFields(wav,
               {{4, [](std::uint32_t b) { return U32(52 + 65 * b); }},
                {48, [](std::uint32_t b) { return U32(320 * b); }},
                {56, [](std::uint32_t b) { return U32(65 * b); }}},
               n);
}
INSTANTIATE_TEST_SUITE_P(Blocks, FinishedHeader, ::testing::Values(0u, 1u, 7u, 224u));

#if !defined(_WIN32)
TEST(ConverterHeader, ConversionCutOffCarriesThePlaceholders) {
  ScratchDir dir;
  // A long input, its conversion killed part-way in a child process: the
  // header was never finished.
  test::WriteFile(dir.path("zero.raw"), {});
  std::filesystem::resize_file(dir.path("zero.raw"), 1ull << 32);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(Convert(dir.path("zero.raw"), dir.path("cut.wav")) == KIV_OK ? 0 : 1);
  // Kill it once a thousand blocks have reached the file (or after 30 s).
  auto written = [&] {
    std::error_code ec;
    std::uintmax_t n = std::filesystem::file_size(dir.path("cut.wav"), ec);
    return ec ? 0 : n;
  };
  for (int i = 0; i < 6000 && written() < 60 + 65 * 1000; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status));
  Bytes wav = test::ReadFile(dir.path("cut.wav"));
  ASSERT_GE(wav.size(), 60u + 65u);
  ExpectFields(wav, ConstantFields(), 0);
  EXPECT_EQ(Le32(wav, 4), 2000000u);
  EXPECT_EQ(Le32(wav, 48), 2000160u);
  EXPECT_EQ(Le32(wav, 56), 2000000u);
}
#endif

class TrailingPiece : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(TrailingPiece, ShorterThanABlockIsNeverEncoded) {
  std::uint32_t n = GetParam();
  Bytes whole = ConvertBytes(SpeechPrefix(640 * n));
  for (std::size_t extra : {1u, 2u, 639u}) EXPECT_EQ(ConvertBytes(SpeechPrefix(640 * n + extra)), whole) << extra;
}
INSTANTIATE_TEST_SUITE_P(Blocks, TrailingPiece, ::testing::Values(0u, 1u, 5u));

TEST(Converter, PayloadEqualsDirectLibgsmEncodingAndRepeats) {
  Bytes speech = test::SpeechSample();
  Bytes first = ConvertBytes(speech);
  EXPECT_EQ(Payload(first), test::ReferenceWav49(test::ToSamples(speech)));
  EXPECT_EQ(ConvertBytes(speech), first);
}

TEST(Converter, WaveHeaderInTheInputIsEncodedAsAudio) {
  Bytes speech = SpeechPrefix(640 * 20);
  Bytes withHeader(44 + speech.size(), 0x11);
  std::memcpy(withHeader.data(), "RIFF", 4);
  std::copy(speech.begin(), speech.end(), withHeader.begin() + 44);
  Bytes wav = ConvertBytes(withHeader);
  EXPECT_EQ(Payload(wav), test::ReferenceWav49(test::ToSamples(withHeader)));
  EXPECT_NE(Payload(wav), Payload(ConvertBytes(speech)));
}

// Failures through the public entry point: each leaves nothing lost.
TEST(ConverterFailure, MissingInputCreatesNoOutput) {
  ScratchDir dir;
  EXPECT_EQ(Convert(dir.path("absent.raw"), dir.path("out.wav")), KIV_ERR_INPUT_READ);
  EXPECT_FALSE(test::Exists(dir.path("out.wav")));
}

TEST(ConverterFailure, ExistingOutputUntouchedWhenInputUnusable) {
  ScratchDir dir;
  Bytes old = Tag("precious contents");
  std::filesystem::create_directory(dir.path("a-directory"));
  for (std::string in : {dir.path("absent.raw"), dir.path("a-directory")}) {
    test::WriteFile(dir.path("out.wav"), old);
    EXPECT_EQ(Convert(in, dir.path("out.wav")), KIV_ERR_INPUT_READ) << in;
    EXPECT_EQ(test::ReadFile(dir.path("out.wav")), old) << in;
  }
}

TEST(ConverterFailure, OutputThatIsTheInputByAnyNameIsRefused) {
  ScratchDir dir;
  std::string in = dir.path("in.raw");
  Bytes speech = SpeechPrefix(6400);
  test::WriteFile(in, speech);
  std::filesystem::create_hard_link(in, dir.path("hard.raw"));
  std::filesystem::create_directory(dir.path("sub"));
  std::vector<std::string> names = {in, dir.path("hard.raw"), dir.path("sub/../in.raw")};
#if !defined(_WIN32)
  std::filesystem::create_symlink(in, dir.path("soft.raw"));
  names.push_back(dir.path("soft.raw"));
  EXPECT_EQ(Convert(dir.path("soft.raw"), in), KIV_ERR_ARGUMENT);
#endif
  for (const std::string& out : names) {
    EXPECT_EQ(Convert(in, out), KIV_ERR_ARGUMENT) << out;
    EXPECT_EQ(test::ReadFile(in), speech) << out;
  }
}

#if defined(_WIN32)
// Windows' device names are devices in every folder, whatever the case or
// extension: an output there would be lost (NUL) or sent to a port.
TEST(ConverterFailure, WindowsDeviceNamesAreRefusedWithoutOpeningThem) {
  ScratchDir dir;
  test::WriteFile(dir.path("in.raw"), SpeechPrefix(6400));
  for (const char* name : {"NUL", "nul.wav", "Con", "AUX.raw.wav", "com1", "LPT9.txt", "prn ", "conout$"}) {
    EXPECT_EQ(Convert(dir.path("in.raw"), name), KIV_ERR_OUTPUT_CREATE) << name;
    EXPECT_EQ(Convert(dir.path("in.raw"), dir.path(name)), KIV_ERR_OUTPUT_CREATE) << name;
  }
  // Names that only begin like one are files.
  for (const char* name : {"console.wav", "nul1.wav", "com10.wav", "auxiliary"}) {
    EXPECT_EQ(Convert(dir.path("in.raw"), dir.path(name)), KIV_OK) << name;
    EXPECT_TRUE(test::Exists(dir.path(name))) << name;
  }
}
#endif

TEST(ConverterFailure, OutputThatCannotBeCreated) {
  ScratchDir dir;
  test::WriteFile(dir.path("in.raw"), SpeechPrefix(640));
  std::filesystem::create_directory(dir.path("a-directory"));
  EXPECT_EQ(Convert(dir.path("in.raw"), dir.path("missing/out.wav")), KIV_ERR_OUTPUT_CREATE);
  EXPECT_EQ(Convert(dir.path("in.raw"), dir.path("a-directory")), KIV_ERR_OUTPUT_CREATE);
}

#if !defined(_WIN32)
// A FIFO as the output is refused without being opened: the program waiting
// to read it is not handed an end of file, and reads what its writer sends.
TEST(ConverterFailure, FifoOutputIsRefusedWithoutOpeningIt) {
  ScratchDir dir;
  test::WriteFile(dir.path("in.raw"), SpeechPrefix(640));
  const std::string fifo = dir.path("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::atomic<long> got{-2};
  std::thread reader([&] {
    int fd = open(fifo.c_str(), O_RDONLY);
    char c;
    got = fd < 0 ? -1 : static_cast<long>(read(fd, &c, 1));
    if (fd >= 0) close(fd);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(Convert(dir.path("in.raw"), fifo), KIV_ERR_OUTPUT_CREATE);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(got.load(), -2) << "the reader was given an end of file";
  int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);  // fails at once if the reader has gone
  if (fd >= 0) {
    EXPECT_EQ(write(fd, "x", 1), 1);
    close(fd);
  }
  reader.join();
  EXPECT_EQ(got.load(), 1);
}

// An output refused before the conversion starts takes nothing from a
// piped input, which the caller may still send elsewhere.
TEST(ConverterFailure, ARefusedOutputTakesNothingFromAPipedInput) {
  ScratchDir dir;
  const std::string fifo = dir.path("in.fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int fd = open(fifo.c_str(), O_RDWR | O_NONBLOCK);  // holds the pipe and its bytes
  ASSERT_GE(fd, 0);
  const Bytes speech = SpeechPrefix(640 * 2);
  ASSERT_EQ(write(fd, speech.data(), speech.size()), static_cast<ssize_t>(speech.size()));
  EXPECT_EQ(Convert(fifo, dir.path("missing/out.wav")), KIV_ERR_OUTPUT_CREATE);
  Bytes left(4096);
  EXPECT_EQ(read(fd, left.data(), left.size()), static_cast<ssize_t>(speech.size())) << "the refused call read it";
  close(fd);
}

TEST(ConverterFailure, FullDeviceIsAWriteFailure) {
  ScratchDir dir;
  test::WriteFile(dir.path("in.raw"), SpeechPrefix(640 * 200));
  EXPECT_EQ(Convert(dir.path("in.raw"), "/dev/full"), KIV_ERR_WRITE);
}
#endif

TEST(ConverterFailure, BadPathsAreRefusedAndTouchNothing) {
  ScratchDir dir;
  std::string in = dir.path("in.raw");
  test::WriteFile(in, SpeechPrefix(640));
  test::PathString in16 = Path16(in), out16 = Path16(dir.path("out.wav"));
  test::PathString highAlone = Path16(dir.path("x")) + test::Unit(0xD800) + Path16(".wav");
  test::PathString lowAlone = Path16(dir.path("x")) + test::Unit(0xDC00) + Path16(".wav");
  test::PathString highAtEnd = Path16(dir.path("x")) + test::Unit(0xDBFF);
  test::PathString swapped = Path16(dir.path("x")) + test::Unit(0xDC00) + test::Unit(0xD800);
  const KivPathChar empty[] = {0};
  struct Case {
    const KivPathChar* in;
    const KivPathChar* out;
  } cases[] = {{nullptr, out16.c_str()}, {in16.c_str(), nullptr},      {nullptr, nullptr},
               {empty, out16.c_str()},   {in16.c_str(), empty},        {in16.c_str(), highAlone.c_str()},
               {in16.c_str(), lowAlone.c_str()}, {in16.c_str(), highAtEnd.c_str()},
               {in16.c_str(), swapped.c_str()},  {highAlone.c_str(), out16.c_str()}};
  for (const Case& c : cases) EXPECT_EQ(KivWave2GSM610(c.in, c.out), KIV_ERR_ARGUMENT);
  std::size_t entries = 0;
  for (auto& e : std::filesystem::directory_iterator(dir.path(""))) entries += (e.path().filename() != "in.raw");
  EXPECT_EQ(entries, 0u);
}

TEST(ConverterPaths, NonAsciiPathGivesThatUtf8Name) {
  ScratchDir dir;
  test::WriteFile(dir.path("in.raw"), SpeechPrefix(640 * 3));
  const std::string name = "r\xC3\xA9sum\xC3\xA9-\xD0\xB7\xD0\xB2\xD1\x83\xD0\xBA-\xE2\x82\xAC-\xF0\x9F\x8E\xA4.wav";
  ASSERT_EQ(Convert(dir.path("in.raw"), dir.path(name)), KIV_OK);
  std::vector<std::string> names;
  for (auto& e : std::filesystem::directory_iterator(kiv::tool::FsPath(dir.path("")))) {
    std::u8string u8 = e.path().filename().u8string();
    names.emplace_back(u8.begin(), u8.end());
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"in.raw", name}));
  EXPECT_EQ(test::ReadFile(dir.path(name)).size(), 60u + 3 * 65);
}

// Faults the real file system cannot easily produce, through an injecting layer.
class ConverterFault : public ::testing::Test {
 protected:
  void SetUp() override { test::WriteFile(in_, speech_); }
  int32_t Run(std::uint32_t maxBlocks = kMaxGsmBlocks) {
    return ConvertRawToGsmWave(faults_.fs(), test::Path16(in_).c_str(), test::Path16(out_).c_str(), maxBlocks);
  }
  void ExpectFinishedWith(std::uint32_t blocks) {
    Bytes wav = test::ReadFile(out_);
    ASSERT_EQ(wav.size(), 60 + 65 * blocks);
    EXPECT_EQ(Le32(wav, 4), 52 + 65 * blocks);
    EXPECT_EQ(Le32(wav, 48), 320 * blocks);
    EXPECT_EQ(Le32(wav, 56), 65 * blocks);
    Bytes ref = test::ReferenceWav49(test::ToSamples(speech_));
    ref.resize(65 * blocks);
    EXPECT_EQ(Payload(wav), ref);
  }
  ScratchDir dir_;
  std::string in_ = dir_.path("in.raw"), out_ = dir_.path("out.wav");
  Bytes speech_ = SpeechPrefix(640 * 60);
  test::FaultFileSystem faults_;
};

TEST_F(ConverterFault, FailedBlockWriteLeavesTheBlocksBeforeIt) {
  // Writes 1-16 are the header fields; write 16 + k carries block k.
  for (std::uint32_t k : {1u, 2u, 37u, 60u}) {
    faults_.Reset();
    faults_.FailWrite(16 + static_cast<int>(k));
    EXPECT_EQ(Run(), KIV_ERR_WRITE) << k;
    ExpectFinishedWith(k - 1);
  }
}

TEST_F(ConverterFault, FailedHeaderWriteStopsBeforeAnyBlock) {
  for (int n : {1, 8, 16}) {
    faults_.Reset();
    faults_.FailWrite(n);
    EXPECT_EQ(Run(), KIV_ERR_WRITE) << n;
    ExpectFinishedWith(0);
  }
}

TEST_F(ConverterFault, EveryLaterWriteFailingIsStillReported) {
  faults_.FailWrite(20, /*sticky=*/true);
  EXPECT_EQ(Run(), KIV_ERR_WRITE);
}

TEST_F(ConverterFault, FailedCloseIsAWriteFailure) {
  faults_.FailClose();
  EXPECT_EQ(Run(), KIV_ERR_WRITE);
}

TEST_F(ConverterFault, ReadErrorIsReportedAfterFinishingTheFile) {
  faults_.FailRead(4);
  EXPECT_EQ(Run(), KIV_ERR_INPUT_READ);
  ExpectFinishedWith(3);
}

TEST_F(ConverterFault, AFirstReadThatFailsLeavesAnExistingOutputAlone) {
  // Nothing has been read, so nothing is lost by refusing before the
  // output is emptied; a new name is finished as an empty file.
  faults_.FailRead(1);
  EXPECT_EQ(Run(), KIV_ERR_INPUT_READ);
  ExpectFinishedWith(0);
  test::WriteFile(out_, {'k', 'e', 'e', 'p'});
  faults_.Reset();
  faults_.FailRead(1);
  EXPECT_EQ(Run(), KIV_ERR_INPUT_READ);
  EXPECT_EQ(test::ReadFile(out_), (Bytes{'k', 'e', 'e', 'p'}));
}

TEST_F(ConverterFault, OutputOpenFailureLeavesNoFile) {
  faults_.FailOpenForWrite();
  EXPECT_EQ(Run(), KIV_ERR_OUTPUT_CREATE);
  EXPECT_FALSE(test::Exists(out_));
}

TEST_F(ConverterFault, AnOutputThatCannotBeLookedUpIsNeverOpened) {
  // Not even when it is the input: the check that it is not must not be
  // skipped because the name could not be looked up.
  faults_.FailLookup();
  EXPECT_EQ(ConvertRawToGsmWave(faults_.fs(), test::Path16(in_).c_str(), test::Path16(in_).c_str(), kMaxGsmBlocks),
            KIV_ERR_OUTPUT_CREATE);
  EXPECT_EQ(test::ReadFile(in_), speech_);
  test::WriteFile(out_, {'k', 'e', 'e', 'p'});
  EXPECT_EQ(Run(), KIV_ERR_OUTPUT_CREATE);
  EXPECT_EQ(test::ReadFile(out_), (Bytes{'k', 'e', 'e', 'p'}));
}

// A header that cannot be rewritten where it belongs (the length of the
// file or the seek back to its start fails) is reported, and the file
// keeps every block behind the provisional header, which repair finishes:
// nothing is written at the wrong place.
struct Unfinishable {
  const char* name;
  void (*inject)(test::FaultFileSystem*);
};
class UnfinishableHeader : public ConverterFault, public ::testing::WithParamInterface<Unfinishable> {};

TEST_P(UnfinishableHeader, IsReportedAndLeavesTheBlocksBehindTheProvisionalOne) {
  GetParam().inject(&faults_);
  EXPECT_EQ(Run(), KIV_ERR_WRITE);
  Bytes wav = test::ReadFile(out_);
  ASSERT_EQ(wav.size(), 60u + 65 * 60);
  ExpectFields(wav, ConstantFields(), 0);
  EXPECT_EQ(Le32(wav, 4), 2000000u);
  EXPECT_EQ(Le32(wav, 56), 2000000u);
  Bytes ref = test::ReferenceWav49(test::ToSamples(speech_));
  EXPECT_EQ(Payload(wav), ref);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, UnfinishableHeader,
    ::testing::Values(Unfinishable{"SeekToTheEnd", [](test::FaultFileSystem* f) { f->FailSeek(1); }},
                      Unfinishable{"LengthQuery", [](test::FaultFileSystem* f) { f->FailTell(1); }},
                      Unfinishable{"SeekToTheStart", [](test::FaultFileSystem* f) { f->FailSeek(2); }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ConverterFault, MoreBlocksThanTheHeaderCanCountStopAtTheLimit) {
  EXPECT_EQ(Run(/*maxBlocks=*/25), KIV_ERR_TOO_LONG);
  ExpectFinishedWith(25);
  EXPECT_EQ(Run(/*maxBlocks=*/60), KIV_OK);  // exactly at the limit is fine
  ExpectFinishedWith(60);
}

// The streaming writer pushed in pieces of any size, split inside a sample
// too, writes the bytes the converter writes from the same raw file.
class WriterPieces : public ::testing::TestWithParam<std::size_t> {};

TEST_P(WriterPieces, WriteWhatTheConverterWrites) {
  const Bytes input = SpeechPrefix(7 * 640 + 333);
  const Bytes expected = ConvertBytes(input);
  ScratchDir dir;
  GsmWaveWriter writer;
  ASSERT_EQ(GsmWaveWriterOpen(&writer, ActiveFileSystem(), Path16(dir.path("w.wav")).c_str()), KIV_OK);
  for (std::size_t at = 0; at < input.size(); at += GetParam())
    ASSERT_TRUE(GsmWaveWriterPushBytes(&writer, input.data() + at, std::min(GetParam(), input.size() - at)));
  EXPECT_EQ(GsmWaveWriterFinish(&writer), KIV_OK);
  EXPECT_EQ(test::ReadFile(dir.path("w.wav")), expected);
}
INSTANTIATE_TEST_SUITE_P(Bytes, WriterPieces, ::testing::Values(1u, 3u, 641u, 4096u, 1u << 20));

TEST(Writer, PushPastTheBlockLimitIsRefusedAndTheFileFinished) {
  ScratchDir dir;
  GsmWaveWriter writer;
  ASSERT_EQ(GsmWaveWriterOpen(&writer, ActiveFileSystem(), Path16(dir.path("w.wav")).c_str(), 2), KIV_OK);
  const std::vector<std::int16_t> samples(3 * kGsmSamplesPerBlock, 1000);
  EXPECT_FALSE(GsmWaveWriterPush(&writer, samples.data(), samples.size()));
  EXPECT_EQ(GsmWaveWriterFinish(&writer), KIV_ERR_TOO_LONG);
  EXPECT_EQ(test::ReadFile(dir.path("w.wav")).size(), kGsmHeaderBytes + 2 * kGsmBlockBytes);
}

}  // namespace
}  // namespace kiv
