// SPDX-License-Identifier: MIT
// The MPEG and Ogg decoders on inputs made by sox and ffmpeg: files put one
// after another, damage in the middle, a pipe instead of a file, a sink
// that stops them; and the check that tells bare MPEG from raw samples.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <fstream>
#include <memory>
#include <numbers>
#include <random>
#include <set>
#include <thread>

#include "pipeline/container_signature.h"
#include "pipeline/input_stream.h"
#include "pipeline/sample_sink.h"
#include "support/test_files.h"
#if defined(KIV_HAVE_MPG123)
#include "pipeline/mpeg_decoder.h"
#endif
#if defined(KIV_HAVE_OGG)
#include "pipeline/ogg_decoder.h"
#endif

namespace kiv {
namespace {

using test::Bytes;
using tool::DecodeResult;
using tool::InputStream;

// Adds up how much audio arrives, in which formats and how loud; refuses
// more once `stop_after` seconds have arrived (0: never).
class CountingSink : public tool::SampleSink {
 public:
  explicit CountingSink(double stop_after = 0) : stop_after_(stop_after) {}
  bool PushFloat(const float* frames, std::size_t count, int channels, int rate) override {
    for (std::size_t i = 0; i < count * static_cast<std::size_t>(channels); ++i)
      peak = std::max(peak, static_cast<double>(std::fabs(frames[i])));
    return Count(count, channels, rate);
  }
  bool PushShort(const std::int16_t* frames, std::size_t count, int channels, int rate) override {
    for (std::size_t i = 0; i < count * static_cast<std::size_t>(channels); ++i)
      peak = std::max(peak, std::abs(frames[i]) / 32768.0);
    return Count(count, channels, rate);
  }
  double seconds = 0, peak = 0;
  std::set<std::string> formats;  // "rate/channels"

 private:
  bool Count(std::size_t count, int channels, int rate) {
    seconds += static_cast<double>(count) / rate;
    formats.insert(std::to_string(rate) + "/" + std::to_string(channels));
    return stop_after_ == 0 || seconds < stop_after_;
  }
  double stop_after_;
};

// The inputs, made once for all tests: sines, so that what decodes is loud.
class Inputs {
 public:
  static const test::ScratchDir& Dir() {
    static Inputs inputs;
    return inputs.dir_;
  }

 private:
  Inputs() {
    const char* script =
        "cd %d && sox -n -r 44100 -c 2 a.wav synth 3 sine 440 && sox -n -r 22050 -c 1 b.wav synth 2 sine 660 &&"
        " sox -n -r 44100 -c 2 long.wav synth 10 sine 500 && sox -n -r 48000 -c 2 c.wav synth 2 sine 550 &&"
        " sox -n -r 22050 -c 1 d.wav synth 4 sine 350 && sox -n -r 44100 -c 1 t.wav synth 0.05 sine 440 &&"
        " ffmpeg -v error -i a.wav a.mp3 && ffmpeg -v error -i long.wav long.mp3 &&"
        " ffmpeg -v error -i b.wav -write_xing 0 -id3v2_version 0 b.mp3 &&"
        " ffmpeg -v error -i a.wav -c:a libvorbis v1.ogg && ffmpeg -v error -i c.wav -c:a libvorbis v3.ogg &&"
        " ffmpeg -v error -i d.wav -c:a libvorbis -page_duration 200000 v2.ogg &&"  // a lost page costs 0.2 s
        " ffmpeg -v error -i a.wav -c:a libopus o1.opus && ffmpeg -v error -i b.wav -c:a libopus o2.opus &&"
        // Two tiny links; each file gets a serial number of its own.
        " ffmpeg -v error -i t.wav -c:a libvorbis t1.ogg && ffmpeg -v error -i t.wav -c:a libvorbis t2.ogg";
    std::string command = script, err;
    for (std::size_t p; (p = command.find("%d")) != std::string::npos;) command.replace(p, 2, dir_.path(""));
    EXPECT_EQ(test::RunCommand(command, nullptr, &err), 0) << err;
  }
  test::ScratchDir dir_;
};

// Feeds bytes into a FIFO from a thread of its own, as another program
// writing into a pipe would.
class FifoWriter {
 public:
  FifoWriter(std::string path, Bytes bytes) : path_(std::move(path)) {
    EXPECT_EQ(::mkfifo(path_.c_str(), 0600), 0);
    thread_ = std::thread([this, b = std::move(bytes)] {
      const int fd = ::open(path_.c_str(), O_WRONLY);
      for (std::size_t done = 0; fd >= 0 && done < b.size();) {
        const ssize_t n = ::write(fd, b.data() + done, b.size() - done);
        if (n <= 0) break;  // the reader went away
        done += static_cast<std::size_t>(n);
      }
      if (fd >= 0) ::close(fd);
    });
  }
  ~FifoWriter() {
    // A writer still waiting for a reader is let through, to find none.
    const int fd = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK);
    if (fd >= 0) ::close(fd);
    thread_.join();
  }

 private:
  std::string path_;
  std::thread thread_;
};

enum class Codec { kMpeg, kOgg };

// What the process writes to its standard error while one of these lives.
class StderrCapture {
 public:
  explicit StderrCapture(std::string path) : path_(std::move(path)), saved_(::dup(2)) {
    const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(fd, 2);
    ::close(fd);
  }
  std::string Text() {
    ::dup2(saved_, 2);
    const Bytes b = test::ReadFile(path_);
    return std::string(b.begin(), b.end());
  }
  ~StderrCapture() {
    ::dup2(saved_, 2);
    ::close(saved_);
  }

 private:
  std::string path_;
  int saved_;
};

DecodeResult RunDecoder(Codec codec, InputStream& in, CountingSink* sink) {
#if defined(KIV_HAVE_MPG123)
  if (codec == Codec::kMpeg) return tool::DecodeMpeg(in, *sink);
#endif
#if defined(KIV_HAVE_OGG)
  if (codec == Codec::kOgg) return tool::DecodeOgg(in, *sink);
#endif
  ADD_FAILURE() << "decoder not built";
  return {};
}

// Decodes `bytes` from a file, or through a FIFO; `printed` gets what the
// decoder wrote to standard error.
DecodeResult Decode(Codec codec, const Bytes& bytes, bool pipe, CountingSink* sink, std::string* printed = nullptr) {
  static const bool ignored = std::signal(SIGPIPE, SIG_IGN) != SIG_ERR;  // a reader that stops early
  (void)ignored;
  test::ScratchDir dir;
  const std::string path = dir.path(pipe ? "fifo" : "file");
  std::unique_ptr<FifoWriter> writer;
  if (pipe)
    writer = std::make_unique<FifoWriter>(path, bytes);
  else
    test::WriteFile(path, bytes);
  std::string why;
  std::unique_ptr<InputStream> in = InputStream::Open(path, &why);
  if (!in) {
    ADD_FAILURE() << why;
    return {};
  }
  EXPECT_EQ(in->seekable(), !pipe);
  StderrCapture capture(dir.path("stderr"));
  const DecodeResult result = RunDecoder(codec, *in, sink);
  if (printed != nullptr) *printed = capture.Text();
  return result;
}

// The named inputs one after another, with 2000-3000 stray bytes (a fixed
// pseudo-random run) put into the middle of the one numbered `damaged`.
Bytes Joined(const std::vector<std::string>& names, int damaged, std::size_t junk) {
  Bytes out;
  std::mt19937 random(2024);
  for (std::size_t i = 0; i < names.size(); ++i) {
    Bytes part = test::ReadFile(Inputs::Dir().path(names[i]));
    EXPECT_FALSE(part.empty()) << names[i];
    if (static_cast<int>(i) == damaged) {
      Bytes stray(junk);
      for (auto& b : stray) b = static_cast<unsigned char>(random());
      part.insert(part.begin() + static_cast<std::ptrdiff_t>(part.size() / 2), stray.begin(), stray.end());
    }
    out.insert(out.end(), part.begin(), part.end());
  }
  return out;
}

struct Case {
  const char* name;
  Codec codec;
  std::vector<std::string> parts;
  int damaged;  // index into parts, -1 for none
  std::size_t junk;
  double min_seconds, max_seconds;
  const char* format;
  std::uint64_t streams;
  const char* note;  // what the note must say; nullptr: no note at all
};

const Case kCases[] = {
    // b.mp3 has neither tag nor Xing frame, and a rate and channels of its own.
    {"ConcatenatedMp3", Codec::kMpeg, {"a.mp3", "b.mp3"}, -1, 0, 4.9, 5.1, "44100 Hz stereo MPEG-1 Layer III", 2,
     nullptr},
    {"DamagedMp3", Codec::kMpeg, {"long.mp3"}, 0, 2000, 9.5, 10.1, "44100 Hz stereo MPEG-1 Layer III", 1, "damaged"},
    {"DamagedVorbisChain", Codec::kOgg, {"v1.ogg", "v2.ogg", "v3.ogg"}, 1, 3000, 8.5, 9.01,
     "44100 Hz stereo Ogg Vorbis", 3, "skipped"},
    {"CleanVorbisChain", Codec::kOgg, {"v1.ogg", "v2.ogg", "v3.ogg"}, -1, 0, 8.99, 9.01, "44100 Hz stereo Ogg Vorbis",
     3, nullptr},
#if defined(KIV_HAVE_OPUS)
    {"ChainedOpus", Codec::kOgg, {"o1.opus", "o2.opus"}, -1, 0, 4.95, 5.05, "48000 Hz stereo Ogg Opus", 2, nullptr},
    // Each link is decoded in its own codec, whichever comes first.
    {"VorbisThenOpus", Codec::kOgg, {"v1.ogg", "o2.opus", "v2.ogg"}, -1, 0, 8.95, 9.05, "44100 Hz stereo Ogg Vorbis", 3,
     nullptr},
    {"OpusThenVorbis", Codec::kOgg, {"o2.opus", "v1.ogg"}, -1, 0, 4.95, 5.05, "48000 Hz mono Ogg Opus", 2, nullptr},
#endif
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class DecodeCase : public ::testing::TestWithParam<std::tuple<Case, bool>> {};

TEST_P(DecodeCase, DecodesAllAndSaysWhatWasSkipped) {
  const auto& [c, pipe] = GetParam();
  CountingSink sink;
  std::string printed;
  const DecodeResult r = Decode(c.codec, Joined(c.parts, c.damaged, c.junk), pipe, &sink, &printed);
  EXPECT_EQ(r.code, 0) << r.error;
  EXPECT_EQ(printed, "");
  EXPECT_GE(sink.seconds, c.min_seconds);
  EXPECT_LE(sink.seconds, c.max_seconds);
  EXPECT_GT(sink.peak, 0.5);  // sines, not silence
  EXPECT_EQ(r.format, c.format);
  EXPECT_EQ(r.streams, c.streams);
  if (c.note == nullptr) {
    EXPECT_EQ(r.note, "");
  } else {
    EXPECT_NE(r.note.find(c.note), std::string::npos) << r.note;
    EXPECT_EQ(r.note.find("no stream"), std::string::npos) << r.note;
  }
  // Each part's own format reaches the sink as it is.
  if (c.damaged < 0) {
    EXPECT_EQ(sink.formats.size(), c.parts.size());
  }
}

INSTANTIATE_TEST_SUITE_P(Decoders, DecodeCase, ::testing::Combine(::testing::ValuesIn(kCases), ::testing::Bool()),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) +
                                  (std::get<1>(info.param) ? "ThroughPipe" : "FromFile");
                         });

TEST(Decoders, StopWhenTheSinkRefuses) {
  const std::pair<Codec, const char*> inputs[] = {{Codec::kMpeg, "long.mp3"}, {Codec::kOgg, "v1.ogg"}};
  for (const auto& [codec, name] : inputs) {
    CountingSink sink(1.0);
    const DecodeResult r = Decode(codec, test::ReadFile(Inputs::Dir().path(name)), true, &sink);
    EXPECT_EQ(r.code, 7) << name;
    EXPECT_LT(sink.seconds, 1.2) << name;
  }
}

TEST(Decoders, NothingDecodableIsCode5) {
  const Bytes text(20000, 'x');
  for (Codec codec : {Codec::kMpeg, Codec::kOgg}) {
    CountingSink sink;
    const DecodeResult r = Decode(codec, text, false, &sink);
    EXPECT_EQ(r.code, 5);
    EXPECT_FALSE(r.error.empty());
    EXPECT_EQ(sink.seconds, 0);
  }
}

#if defined(KIV_HAVE_OGG)
// A link whose headers are damaged is passed over; the links after it
// still decode, from a file or a pipe.
TEST(Decoders, OggLinkWithDamagedHeadersIsPassedOver) {
  Bytes chain = Joined({"v1.ogg", "v2.ogg", "v3.ogg"}, -1, 0);
  chain[200] ^= 0xff;  // inside the first link's setup header
  for (bool pipe : {false, true}) {
    CountingSink sink;
    const DecodeResult r = Decode(Codec::kOgg, chain, pipe, &sink);
    EXPECT_EQ(r.code, 0) << r.error;
    EXPECT_NEAR(sink.seconds, 6.0, 0.05);  // the 4 s and 2 s links
    EXPECT_NE(r.note.find("could not be decoded and was skipped"), std::string::npos) << r.note;
  }
}

// A link cut short within its headers, or whose first page is damaged,
// is one part skipped: neither takes the next link with it, nor hides.
TEST(Decoders, OggLinkCutOrHeadlessIsSkippedAlone) {
  const Bytes v1 = test::ReadFile(Inputs::Dir().path("v1.ogg")), v3 = test::ReadFile(Inputs::Dir().path("v3.ogg"));
  Bytes cut = test::ReadFile(Inputs::Dir().path("v2.ogg")), headless = cut;
  cut.resize(1000);
  headless[40] ^= 0xff;  // inside the first page
  for (const Bytes& middle : {cut, headless}) {
    Bytes chain = v1;
    chain.insert(chain.end(), middle.begin(), middle.end());
    chain.insert(chain.end(), v3.begin(), v3.end());
    for (bool pipe : {false, true}) {
      CountingSink sink;
      const DecodeResult r = Decode(Codec::kOgg, chain, pipe, &sink);
      EXPECT_EQ(r.code, 0) << r.error;
      EXPECT_NEAR(sink.seconds, 5.0, 0.05);  // the 3 s and 2 s links around it
      EXPECT_NE(r.note.find("1 part of the stream could not be decoded"), std::string::npos) << r.note;
      EXPECT_EQ(r.note.find("multiplexed"), std::string::npos) << r.note;
    }
  }
}

// Each link is set up and let go in turn: ten thousand take no more memory
// than one.
TEST(Decoders, TenThousandLinksInBoundedMemory) {
  test::ScratchDir dir;
  const Bytes one = test::ReadFile(Inputs::Dir().path("t1.ogg")), two = test::ReadFile(Inputs::Dir().path("t2.ogg"));
  {
    std::ofstream out(dir.path("chain.ogg"), std::ios::binary);
    for (int i = 0; i < 5000; ++i) {
      out.write(reinterpret_cast<const char*>(one.data()), static_cast<std::streamsize>(one.size()));
      out.write(reinterpret_cast<const char*>(two.data()), static_cast<std::streamsize>(two.size()));
    }
  }
  std::string why;
  std::unique_ptr<InputStream> in = InputStream::Open(dir.path("chain.ogg"), &why);
  ASSERT_TRUE(in) << why;
  auto peak_kib = [] {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
  };
  [[maybe_unused]] const long before = peak_kib();
  CountingSink sink;
  const DecodeResult r = tool::DecodeOgg(*in, sink);
  EXPECT_EQ(r.code, 0) << r.error;
  EXPECT_EQ(r.streams, 10000u);
  EXPECT_NEAR(sink.seconds, 500, 0.5);
#if !defined(KIV_SANITIZED)
  EXPECT_LT(peak_kib() - before, 30 * 1024);
#endif
}
#endif

// Whether any starting point in `b` (with 8 KiB after it, room for
// several frames) passes for MPEG frames.
bool AnyOffsetPasses(const Bytes& b) {
  for (std::size_t i = 0; i + 8192 <= b.size(); ++i)
    if (tool::MpegFramesAtStart(b.data() + i, b.size() - i)) return true;
  return false;
}

TEST(MpegFramesAtStart, TellsFramesFromSamples) {
  const Bytes mp3 = test::ReadFile(Inputs::Dir().path("b.mp3"));
  ASSERT_GT(mp3.size(), 4000u);
  EXPECT_TRUE(tool::MpegFramesAtStart(mp3.data(), mp3.size()));
  EXPECT_TRUE(tool::MpegFramesAtStart(mp3.data(), 4000));

  Bytes sine, noise(64 * 1024);
  for (int i = 0; i < 32 * 1024; ++i) {
    const auto s = static_cast<std::int16_t>(32000 * std::sin(i * 2 * std::numbers::pi * 440 / 8000));
    sine.push_back(static_cast<unsigned char>(s & 0xff));
    sine.push_back(static_cast<unsigned char>((s >> 8) & 0xff));
  }
  std::mt19937 random(7);
  for (auto& b : noise) b = static_cast<unsigned char>(random());
  EXPECT_FALSE(AnyOffsetPasses(sine));
  EXPECT_FALSE(AnyOffsetPasses(noise));
  EXPECT_FALSE(AnyOffsetPasses(test::SpeechSample()));

  // A real frame header, then noise where the next one should be.
  Bytes lone(mp3.begin(), mp3.begin() + 4);
  lone.insert(lone.end(), noise.begin(), noise.begin() + 4000);
  EXPECT_FALSE(tool::MpegFramesAtStart(lone.data(), lone.size()));
}

}  // namespace
}  // namespace kiv
