// SPDX-License-Identifier: MIT
// kivgsm convert and decode as a user runs them: any audio file in, piped
// input, outputs that must not be damaged, many files at once.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>

#include "kivgsm.h"
#include "support/test_files.h"
#include "support/wave_files.h"

namespace kiv {
namespace {

using test::Bytes;

// The tool under test; KIV_TOOL_UNDER_TEST runs these tests against
// another build (an older one, to show a fault before its mend).
std::string Tool() {
  const char* other = std::getenv("KIV_TOOL_UNDER_TEST");
  return std::string("'") + (other ? other : KIV_TOOL) + "'";
}

std::string Expand(std::string s, std::string dir) {
  if (!dir.empty() && dir.back() == '/') dir.pop_back();
  for (std::size_t p; (p = s.find("%d")) != std::string::npos;) s.replace(p, 2, dir);
  for (std::size_t p; (p = s.find("%t")) != std::string::npos;) s.replace(p, 2, Tool());
  return s;
}

int Shell(const std::string& command, const test::ScratchDir& dir, std::string* out = nullptr,
          std::string* err = nullptr) {
  return test::RunCommand("bash -c \"" + Expand(command, dir.path("")) + "\"", out, err);
}

// The library's own conversion of raw bytes: what the tool must give.
Bytes LibraryConversion(const test::ScratchDir& dir, const Bytes& raw) {
  test::WriteFile(dir.path("ref.raw"), raw);
  EXPECT_EQ(KivWave2GSM610(test::Path16(dir.path("ref.raw")).c_str(), test::Path16(dir.path("ref.wav")).c_str()),
            KIV_OK);
  return test::ReadFile(dir.path("ref.wav"));
}

// Files the tool left beside its outputs (its temporary files start with a dot).
std::vector<std::string> Leftovers(const test::ScratchDir& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir.path("")))
    if (e.path().filename().string().front() == '.') names.push_back(e.path().filename().string());
  return names;
}

std::vector<std::int16_t> DecodedSamples(const test::ScratchDir& dir, const std::string& wav) {
  EXPECT_EQ(Shell("sox '" + wav + "' -t raw -e signed -b 16 %d/decoded.raw", dir), 0);
  return test::ToSamples(test::ReadFile(dir.path("decoded.raw")));
}

// Log energy of 20 ms frames, in dB.
std::vector<double> FrameLevels(const std::vector<std::int16_t>& s) {
  std::vector<double> levels;
  for (std::size_t i = 0; i + 160 <= s.size(); i += 160) {
    double e = 0;
    for (std::size_t k = i; k < i + 160; ++k) e += double(s[k]) * s[k];
    levels.push_back(10 * std::log10(e / 160 + 1));
  }
  return levels;
}

struct Resampled {
  const char* name;
  std::string sox_format;  // how sox writes the input from the 8 kHz speech
  std::string file;        // input name (its extension picks the container)
};

class ToolConvertAnyFormat : public ::testing::TestWithParam<Resampled> {};

// GSM keeps the short-time spectrum and level of speech, not its waveform,
// so two encoders fed nearly the same 8 kHz audio agree frame by frame in
// level rather than sample by sample; and sox dithers what it encodes,
// which moves quiet frames most and now and then tips one of the encoder's
// choices in a single frame (up to 13 dB seen in one frame of 300). The
// measure: over the 20 ms frames above about -40 dBFS, the level of our
// decoded output stays within 0.75 dB of sox's on average (0.23-0.31 dB
// seen) and within 3 dB in 99 % of the frames (1.1-1.5 dB seen), with the
// same length give or take a frame. sox runs repeatably (-R).
TEST_P(ToolConvertAnyFormat, DecodesToAudioResemblingSoxsOwnConversion) {
  test::ScratchDir dir;
  const Resampled& c = GetParam();
  test::WriteFile(dir.path("speech.raw"), test::SpeechSample());
  std::string in = dir.path(c.file);
  ASSERT_EQ(Shell("sox -t raw -r 8000 -c 1 -e signed -b 16 %d/speech.raw " + c.sox_format + " '" + in + "'", dir), 0);
  std::string out;
  ASSERT_EQ(Shell("%t convert '" + in + "' %d/ours.wav", dir, &out), 0) << out;
  EXPECT_NE(out.find("224 blocks"), std::string::npos) << out;
  ASSERT_EQ(Shell("sox -R '" + in + "' -r 8000 -c 1 -e gsm-full-rate %d/sox.wav", dir), 0);
  std::vector<double> ours = FrameLevels(DecodedSamples(dir, dir.path("ours.wav")));
  std::vector<double> theirs = FrameLevels(DecodedSamples(dir, dir.path("sox.wav")));
  ASSERT_NEAR(double(ours.size()), double(theirs.size()), 2.0);
  std::vector<double> diffs;
  for (std::size_t i = 0; i < std::min(ours.size(), theirs.size()); ++i)
    if (theirs[i] >= 50) diffs.push_back(std::fabs(ours[i] - theirs[i]));  // quiet: below about -40 dBFS
  ASSERT_GT(diffs.size(), 100u);
  std::sort(diffs.begin(), diffs.end());
  double mean = 0;
  for (double d : diffs) mean += d / static_cast<double>(diffs.size());
  EXPECT_LT(mean, 0.75) << "mean level difference, dB";
  EXPECT_LT(diffs[diffs.size() * 99 / 100], 3.0) << "99th percentile of the level difference, dB";
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, ToolConvertAnyFormat,
    ::testing::Values(Resampled{"Wave16kMono16", "-r 16000 -c 1 -b 16", "in.wav"},
                      Resampled{"Wave44kStereo16", "-r 44100 -c 2 -b 16", "in.wav"},
                      Resampled{"Wave48kStereo24Extensible", "-r 48000 -c 2 -b 24", "in.wav"},
                      Resampled{"Wave44kMono32", "-r 44100 -c 1 -b 32", "in.wav"},
                      Resampled{"Wave16kStereoFloat", "-r 16000 -c 2 -e floating-point -b 32", "in.wav"},
                      Resampled{"Wave8kStereo", "-r 8000 -c 2 -b 16", "in.wav"},
                      Resampled{"Flac44k", "-r 44100 -c 1 -b 16", "in.flac"},
                      Resampled{"Ogg48kStereo", "-r 48000 -c 2", "in.ogg"},
                      Resampled{"Aiff22k", "-r 22050 -c 1 -b 16", "in.aiff"},
                      // Research corpora, voice modems and Psion voice notes.
                      Resampled{"Ircam16k", "-r 16000 -c 1 -b 16", "in.sf"},
                      Resampled{"Pvf11k", "-r 11025 -c 1 -b 16", "in.pvf"},
                      Resampled{"WveAlaw", "-e a-law", "in.wve"}),
    [](const auto& info) { return std::string(info.param.name); });

struct Exact {
  const char* name;
  std::string prepare;  // makes %d/in.* from %d/speech.raw
  std::string convert;  // the conversion to %d/out.wav
};

class ToolConvertExact : public ::testing::TestWithParam<Exact> {};

// Raw samples, however they arrive, give exactly the library's blocks.
TEST_P(ToolConvertExact, GivesTheLibrarysBlocksForTheSameSamples) {
  test::ScratchDir dir;
  const Exact& c = GetParam();
  Bytes speech = test::SpeechSample();
  test::WriteFile(dir.path("speech.raw"), speech);
  if (!c.prepare.empty()) {
    ASSERT_EQ(Shell(c.prepare, dir), 0);
  }
  std::string err;
  ASSERT_EQ(Shell(c.convert, dir, nullptr, &err), 0) << err;
  EXPECT_EQ(test::ReadFile(dir.path("out.wav")), LibraryConversion(dir, speech));
  EXPECT_EQ(Leftovers(dir), std::vector<std::string>{});
}

const std::string kWave8k = "sox -t raw -r 8000 -c 1 -e signed -b 16 %d/speech.raw %d/in.wav";

INSTANTIATE_TEST_SUITE_P(
    Inputs, ToolConvertExact,
    ::testing::Values(
        Exact{"RawFile", "", "%t convert %d/speech.raw %d/out.wav"},
        Exact{"Wave8kMono16", kWave8k, "%t convert %d/in.wav %d/out.wav"},
        Exact{"StandardInput", "", "cat %d/speech.raw | %t convert - %d/out.wav"},
        Exact{"DevStdin", "", "cat %d/speech.raw | %t convert /dev/stdin %d/out.wav"},
        Exact{"ProcessSubstitution", "", "%t convert --raw <(cat %d/speech.raw) %d/out.wav"},
        Exact{"Fifo", "mkfifo %d/fifo", "(cat %d/speech.raw > %d/fifo &); %t convert --raw %d/fifo %d/out.wav"},
        Exact{"WavePiped", kWave8k, "cat %d/in.wav | %t convert - %d/out.wav"},
        // libsndfile would take the name for headerless GSM or u-law.
        Exact{"RawNamedGsm", "cp %d/speech.raw %d/in.gsm", "%t convert --raw %d/in.gsm %d/out.wav"},
        Exact{"RawNamedPcm", "cp %d/speech.raw %d/in.pcm", "%t convert %d/in.pcm %d/out.wav"}),
    [](const auto& info) { return std::string(info.param.name); });

// Raw needs a positive sign (--raw, a raw name, standard input): anything
// else that starts like no format kivgsm reads is refused with 5, naming
// what was seen, instead of being encoded as noise.
struct Unknown {
  const char* name;
  std::string prepare;  // makes %d/in
  std::string said;     // in the message
};

class ToolConvertUnknown : public ::testing::TestWithParam<Unknown> {};

TEST_P(ToolConvertUnknown, IsRefusedNamingWhatWasSeen) {
  test::ScratchDir dir;
  test::WriteFile(dir.path("speech.raw"), test::SpeechSample());
  ASSERT_EQ(Shell(GetParam().prepare, dir), 0);
  std::string err;
  EXPECT_EQ(Shell("%t convert %d/in %d/out.wav", dir, nullptr, &err), KIV_ERR_INPUT_READ);
  EXPECT_NE(err.find(GetParam().said), std::string::npos) << err;
  EXPECT_NE(err.find("--raw"), std::string::npos) << err;
  EXPECT_FALSE(test::Exists(dir.path("out.wav")));
  EXPECT_EQ(Shell("%t convert --raw %d/in %d/out.wav >/dev/null", dir), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, ToolConvertUnknown,
    ::testing::Values(
        Unknown{"AacMemo", "ffmpeg -v error -f s16le -ar 8000 -ac 1 -i %d/speech.raw -c:a aac -f mp4 %d/in",
                "MP4/M4A"},
        Unknown{"Text", "for i in \\$(seq 200); do echo 'This is not audio.'; done > %d/in", "text"},
        Unknown{"AmrHeader", "printf '#!AMR\\n' > %d/in && cat %d/speech.raw >> %d/in", "AMR"},
        Unknown{"RawWithoutARawName", "cp %d/speech.raw %d/in", "no audio format"}),
    [](const auto& info) { return std::string(info.param.name); });

// Raw input is never guessed away: pieces of speech, noise and silence at
// many offsets (some starting like MPEG frames) each give exactly the
// library's own conversion, with not a word on stderr.
TEST(ToolConvertRaw, EveryPieceIsConvertedByteForByte) {
  test::ScratchDir dir;
  Bytes speech = test::SpeechSample();
  std::vector<Bytes> pieces;
  for (std::size_t offset = 0; offset + 16000 <= speech.size(); offset += 611)  // odd offsets too
    pieces.emplace_back(speech.begin() + static_cast<long>(offset), speech.begin() + static_cast<long>(offset) + 16000);
  std::mt19937 rng(11);
  for (int i = 0; i < 40; ++i) {
    Bytes noise(16000 + 640 * (i % 7));
    for (auto& b : noise) b = static_cast<unsigned char>(rng() >> (i % 3 ? 24 : 28));  // loud and quiet
    pieces.push_back(noise);
  }
  pieces.push_back(Bytes(16000, 0));
  // Bytes that MPEG probing takes for a frame header, then speech.
  for (Bytes head : {Bytes{0xff, 0xff, 0, 0}, Bytes{0xff, 0xfb, 0x90, 0x64}, Bytes{0xff, 0xf3, 0x48, 0xc4}}) {
    head.insert(head.end(), speech.begin(), speech.begin() + 32000);
    pieces.push_back(head);
  }
  std::string inputs;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    test::WriteFile(dir.path("p" + std::to_string(i) + ".raw"), pieces[i]);
    inputs += " %d/p" + std::to_string(i) + ".raw";
  }
  std::filesystem::create_directory(dir.path("out"));
  std::string err;
  ASSERT_EQ(Shell("%t convert -o %d/out" + inputs, dir, nullptr, &err), 0) << err;
  EXPECT_EQ(err, "");
  for (std::size_t i = 0; i < pieces.size(); ++i)
    ASSERT_EQ(test::ReadFile(dir.path("out/p" + std::to_string(i) + ".wav")), LibraryConversion(dir, pieces[i]))
        << "piece " << i;
}

struct Unreadable {
  const char* name;
  std::string file;  // in the scratch folder
  std::function<Bytes(const Bytes& speech)> make;
  std::string said;
};

class ToolConvertUnreadable : public ::testing::TestWithParam<Unreadable> {};

// A file that says it is a container but cannot be read is refused (5), and
// a batch counts it as failed; --raw still encodes its bytes.
TEST_P(ToolConvertUnreadable, IsRefusedUnlessRaw) {
  test::ScratchDir dir;
  const Unreadable& c = GetParam();
  Bytes speech = test::SpeechSample();
  test::WriteFile(dir.path("speech.raw"), speech);
  test::WriteFile(dir.path(c.file), c.make(speech));
  std::string err;
  EXPECT_EQ(Shell("%t convert %d/" + c.file + " %d/out.wav", dir, nullptr, &err), 5);
  EXPECT_NE(err.find(c.said), std::string::npos) << err;
  EXPECT_FALSE(test::Exists(dir.path("out.wav")));
  std::filesystem::create_directory(dir.path("o"));
  EXPECT_EQ(Shell("%t convert -o %d/o %d/speech.raw %d/" + c.file, dir, nullptr, &err), 5) << err;
  EXPECT_EQ(Shell("%t convert --raw %d/" + c.file + " %d/out.wav", dir), 0);
  EXPECT_EQ(test::ReadFile(dir.path("out.wav")), LibraryConversion(dir, test::ReadFile(dir.path(c.file))));
}

// The speech behind a PCM format chunk of this tag, channels and rate.
std::function<Bytes(const Bytes&)> Wave(std::uint16_t tag, std::uint16_t channels, std::uint32_t rate) {
  return [=](const Bytes& speech) {
    Bytes fmt = test::kPcmFmt;
    fmt[0] = static_cast<unsigned char>(tag), fmt[1] = static_cast<unsigned char>(tag >> 8);
    fmt[2] = static_cast<unsigned char>(channels);
    for (int i = 0; i < 4; ++i) fmt[4 + i] = static_cast<unsigned char>(rate >> (8 * i));
    return test::Riff({test::Chunk("fmt ", fmt), test::Chunk("data", speech)});
  };
}

Bytes Prefixed(Bytes head, const Bytes& speech) {
  head.insert(head.end(), speech.begin(), speech.end());
  return head;
}

INSTANTIATE_TEST_SUITE_P(
    Files, ToolConvertUnreadable,
    ::testing::Values(
        Unreadable{"WaveNoChannels", "in.wav", Wave(1, 0, 8000), "cannot be read as RIFF/WAVE"},
        Unreadable{"WaveZeroHz", "in.wav", Wave(1, 1, 0), "cannot be read as RIFF/WAVE"},
        Unreadable{"WaveFourGigahertz", "in.wav", Wave(1, 1, 4000000000u), "cannot be read as RIFF/WAVE"},
        Unreadable{"WaveG726", "in.wav", Wave(0x64, 1, 8000), "cannot be read as RIFF/WAVE"},
        // STREAMINFO of all zeros: rate 0.
        Unreadable{"FlacRateZero", "in.flac",
                   [](const Bytes& s) {
                     Bytes h = {'f', 'L', 'a', 'C', 0x80, 0, 0, 34};
                     h.resize(h.size() + 34);
                     return Prefixed(h, s);
                   },
                   "cannot be read as FLAC"},
        // libsndfile would lose the end of a WAVE file by the tag's size.
        Unreadable{"WaveAfterId3", "in.wav",
                   [](const Bytes& s) {
                     Bytes tag = {'I', 'D', '3', 3, 0, 0, 0, 0, 0, 11};
                     tag.resize(21);
                     return Prefixed(tag, Wave(1, 1, 8000)(s));
                   },
                   "RIFF/WAVE behind an ID3v2 tag"},
        Unreadable{"SpeechAfterId3", "in.mp3",
                   [](const Bytes& s) {
                     Bytes tag = {'I', 'D', '3', 3, 0, 0, 0, 0, 0, 11};
                     tag.resize(21);
                     return Prefixed(tag, s);
                   },
                   "no MPEG audio frames after it"},
        Unreadable{"DamagedOgg", "in.ogg", [](const Bytes& s) { return Prefixed({'O', 'g', 'g', 'S'}, s); },
                   "cannot be read as Ogg"},
        Unreadable{"FlacThatIsNot", "in.flac", [](const Bytes& s) { return s; }, "named as FLAC"},
        // Raw speech in which a decoder hunting for frames finds a few.
        Unreadable{"Mp3ThatIsNot", "in.mp3", [](const Bytes& s) { return s; }, "does not start with MPEG frames"},
        // A block of sound (16-bit, 8000 Hz) followed by continuation blocks
        // of 372 bytes, as ffmpeg writes VOC.
        Unreadable{"VocOfManyBlocks", "in.voc",
                   [](const Bytes& s) {
                     const char* magic = "Creative Voice File\x1a\x1a\x00\x0a\x01\x29\x11";
                     Bytes file(magic, magic + 26);
                     for (std::size_t at = 0; at + 372 <= s.size(); at += 372) {
                       const Bytes head = at == 0 ? Bytes{9, 0x80, 0x01, 0, 0x40, 0x1f, 0, 0, 16, 1, 4, 0, 0, 0, 0, 0}
                                                  : Bytes{2, 0x74, 0x01, 0};
                       file.insert(file.end(), head.begin(), head.end());
                       file.insert(file.end(), s.begin() + static_cast<std::ptrdiff_t>(at),
                                   s.begin() + static_cast<std::ptrdiff_t>(at + 372));
                     }
                     file.push_back(0);
                     return file;
                   },
                   "more than one block"},
        // Stereo (CHAN 6): the left channel's samples, then the right's,
        // which libsndfile would pair as if interleaved.
        Unreadable{"StereoSvx", "in.8svx",
                   [](const Bytes& s) {
                     const Bytes vhdr = {0, 0, 0x3e, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0x1f, 0x40, 1, 0, 0, 1, 0, 0};
                     const Bytes body(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(s.size() / 2 * 2));
                     Bytes form = {'8', 'S', 'V', 'X'};
                     for (const auto& [id, data] : {std::pair<const char*, Bytes>{"VHDR", vhdr}, {"CHAN", {0, 0, 0, 6}},
                                                    {"BODY", body}}) {
                       form.insert(form.end(), id, id + 4);
                       for (int k = 3; k >= 0; --k) form.push_back(static_cast<unsigned char>(data.size() >> (8 * k)));
                       form.insert(form.end(), data.begin(), data.end());
                     }
                     Bytes file = {'F', 'O', 'R', 'M'};
                     for (int k = 3; k >= 0; --k) file.push_back(static_cast<unsigned char>(form.size() >> (8 * k)));
                     return Prefixed(file, form);
                   },
                   "one channel after the other"}),
    [](const auto& info) { return std::string(info.param.name); });

// One rule for every container: an input cut short converts as far as it
// goes, exits 0 and says how far, on stderr.
class ToolConvertCut : public ::testing::TestWithParam<const char*> {};

TEST_P(ToolConvertCut, ConvertsWhatThereIsAndSaysSo) {
  test::ScratchDir dir;
  const std::string param = GetParam();
  const std::size_t space = param.find(' ');
  const std::string in = "%d/in." + param.substr(0, space);
  const std::string encoding = space == std::string::npos ? "-b 16" : param.substr(space + 1);
  ASSERT_EQ(Shell("sox -n -r 16000 -c 1 " + encoding + " " + in + " synth 4 pinknoise vol 0.3", dir), 0);
  std::string whole;
  ASSERT_EQ(Shell("%t convert " + in + " %d/out.wav", dir, nullptr, &whole), 0);
  EXPECT_EQ(whole, "");
  std::string path = Expand(in, dir.path(""));
  std::filesystem::resize_file(path, std::filesystem::file_size(path) / 2);
  // From the file, and from a pipe, where the length is learnt only at the
  // end.
  for (const char* how : {"", "cat %s | "}) {
    std::string command = std::string(how) + "%t convert " + (*how ? "-" : in) + " %d/out.wav";
    if (*how) command.replace(command.find("%s"), 2, in);
    std::string out, err;
    ASSERT_EQ(Shell(command, dir, &out, &err), 0) << command << "\n" << err;
    EXPECT_NE(err.find("the input ends at"), std::string::npos) << command << "\n" << err;
    std::size_t samples = DecodedSamples(dir, dir.path("out.wav")).size();
    EXPECT_GT(samples, 8000u * 3 / 2) << command;  // about 2 s of the 4
    EXPECT_LT(samples, 8000u * 5 / 2) << command;
  }
}

// libsndfile fills the missing blocks of ADPCM with silence itself. A CAF
// file's data chunk is one that libsndfile wants whole when told the length.
// NIST, 8SVX, VOC, AVR and WVE headers give a size that libsndfile does not
// compare.
INSTANTIATE_TEST_SUITE_P(Containers, ToolConvertCut,
                         ::testing::Values("wav", "aiff", "w64", "caf", "flac", "wav -e ms-adpcm", "wav -e ima-adpcm",
                                           "nist", "8svx -b 8", "voc", "voc -b 8", "avr", "wve -e a-law"));

struct BadHeader {
  const char* name;
  std::string make;  // makes %d/full.<ext> from a second of sine
  const char* ext;
  std::string lengths;  // what it is cut to, for head -c; beyond its end keeps it whole
};

class ToolConvertBadHeader : public ::testing::TestWithParam<BadHeader> {};

// A file cut inside its header, or whose header claims a chunk far larger
// than the file, is refused (5) at once, by name and from a pipe. Either
// once sent libsndfile on without end: a chunk walk through the zeros past
// the end, or gigabytes allocated and cleared for a chunk of tags.
TEST_P(ToolConvertBadHeader, IsRefusedAtOnce) {
  test::ScratchDir dir;
  const BadHeader& c = GetParam();
  const std::string full = std::string("%d/full.") + c.ext, cut = std::string("%d/cut.") + c.ext;
  ASSERT_EQ(Shell("ffmpeg -v error -f lavfi -i sine=d=1 -ar 8000 " + c.make, dir), 0);
  std::string lengths;
  ASSERT_EQ(Shell("echo " + c.lengths, dir, &lengths), 0);
  std::istringstream each(lengths);
  for (std::string n; each >> n && Shell("head -c " + n + " " + full + " >" + cut, dir) == 0;)
    for (const std::string& how : {cut, "- <" + cut}) {
      std::string err;
      EXPECT_EQ(Shell("timeout -s KILL 20 %t convert " + how + " %d/o.wav", dir, nullptr, &err), 5)
          << how << ", cut to " << n << " bytes\n" << err;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Containers, ToolConvertBadHeader,
    ::testing::Values(BadHeader{"WaveCutInTags", "%d/full.wav", "wav", "{36..47}"},
                      BadHeader{"Rf64CutInTags", "-rf64 always -f wav %d/full.rf64", "rf64", "{72..83}"},
                      BadHeader{"CafCutInItsDataChunk", "-f caf - >%d/full.caf", "caf", "{112..125}"},
                      // Its tag chunk (info) of 4 GiB.
                      BadHeader{"CafTagsOf4GiB",
                                "-f caf - >%d/full.caf && printf '\\377' | dd of=%d/full.caf bs=1 seek=84 "
                                "conv=notrunc status=none",
                                "caf", "99999"}),
    [](const auto& info) { return std::string(info.param.name); });

struct AllTheAudio {
  const char* name;
  std::string prepare;  // makes %d/in.* from %d/a.wav (3 s)
  std::string in;
  double seconds;
  std::string said;  // on stderr; "" for nothing
};

class ToolConvertAllTheAudio : public ::testing::TestWithParam<AllTheAudio> {};

// Streams one after another are all converted; MP3 inside WAVE gets the
// same allowance as bare MP3; bytes after the audio are named.
TEST_P(ToolConvertAllTheAudio, ConvertsEveryStream) {
  test::ScratchDir dir;
  const AllTheAudio& c = GetParam();
  ASSERT_EQ(Shell("sox -n -r 16000 -c 1 -b 16 %d/a.wav synth 3 pinknoise vol 0.3 && " + c.prepare, dir), 0);
  std::string err;
  // "<in.wav": the file through a pipe.
  const std::string command = c.in[0] == '<' ? "cat %d/" + c.in.substr(1) + " | %t convert - %d/out.wav"
                                             : "%t convert %d/" + c.in + " %d/out.wav";
  ASSERT_EQ(Shell(command, dir, nullptr, &err), 0) << err;
  if (c.said.empty()) {
    EXPECT_EQ(err, "");
  } else {
    EXPECT_NE(err.find(c.said), std::string::npos) << err;
  }
  // Each file after the first keeps its encoder's delay and padding (about
  // 50 ms of an MP3), as when sox or ffmpeg decode the concatenation.
  EXPECT_NEAR(static_cast<double>(DecodedSamples(dir, dir.path("out.wav")).size()) / 8000, c.seconds, 0.15);
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, ToolConvertAllTheAudio,
    ::testing::Values(
        AllTheAudio{"ChainedOgg", "sox %d/a.wav %d/a.ogg && cat %d/a.ogg %d/a.ogg %d/a.ogg > %d/in.ogg", "in.ogg", 9,
                    ""},
        // Two streams at once in one link: the first is converted, and the
        // other is said to be left out.
        AllTheAudio{"MultiplexedOgg", "ffmpeg -v error -i %d/a.wav -i %d/a.wav -map 0 -map 1 -c:a libvorbis %d/in.ogg",
                    "in.ogg", 3, "1 stream multiplexed beside the one decoded was not converted"},
        AllTheAudio{"ConcatenatedMp3", "ffmpeg -v error -i %d/a.wav %d/a.mp3 && cat %d/a.mp3 %d/a.mp3 > %d/in.mp3",
                    "in.mp3", 6, ""},
        AllTheAudio{"Mp3InWave", "ffmpeg -v error -i %d/a.wav -c:a libmp3lame %d/in.wav", "in.wav", 3, ""},
        // libsndfile finds no frames in these, or refuses them, when told
        // no length.
        AllTheAudio{"ImaAdpcmW64", "sox %d/a.wav -e ima-adpcm %d/in.w64", "in.w64", 3, ""},
        AllTheAudio{"Paf24", "sox %d/a.wav -b 24 %d/in.paf", "in.paf", 3, ""},
        // An ID3v2 tag (21 bytes) that a tagger put before a FLAC or Ogg file.
        AllTheAudio{"FlacAfterId3",
                    "sox %d/a.wav %d/a.flac && (printf 'ID3\\003\\000\\000\\000\\000\\000\\013'; "
                    "head -c 11 /dev/zero; cat %d/a.flac) > %d/in.flac",
                    "in.flac", 3, ""},
        AllTheAudio{"OggAfterId3",
                    "sox %d/a.wav %d/a.ogg && (printf 'ID3\\003\\000\\000\\000\\000\\000\\013'; "
                    "head -c 11 /dev/zero; cat %d/a.ogg) > %d/in.ogg",
                    "in.ogg", 3, "21 bytes"},
        // An RF64 header never finished (its 64-bit sizes still zero), as
        // a recording killed early leaves it: nothing to convert, but said.
        AllTheAudio{"Rf64SizesZero",
                    "ffmpeg -v error -i %d/a.wav -rf64 always %d/in.wav && "
                    "head -c 24 /dev/zero | dd of=%d/in.wav bs=1 seek=20 conv=notrunc status=none",
                    "in.wav", 0, "96000 bytes follow a header that gives no audio"},
        // Nothing on standard input (the program before it failed).
        AllTheAudio{"EmptyStandardInput", ": > %d/in.raw", "<in.raw", 0, "the input is empty"},
        // FLAC damaged part-way, or with junk let in: decoding goes on at the
        // next frame, as sox's and ffmpeg's does.
        AllTheAudio{"FlacDamagedPartWay",
                    "sox %d/a.wav %d/in.flac && "
                    "dd if=/dev/zero of=%d/in.flac bs=1 seek=20000 count=500 conv=notrunc status=none",
                    "in.flac", 3, "1 damaged part of the stream was skipped"},
        // FLAC files joined with cat, the second of another rate and block
        // size: each is decoded as its own stream.
        AllTheAudio{"ConcatenatedFlac",
                    "ffmpeg -v error -i %d/a.wav %d/a.flac && "
                    "ffmpeg -v error -i %d/a.wav -ar 8000 -frame_size 1152 %d/b.flac && "
                    "cat %d/a.flac %d/b.flac > %d/in.flac",
                    "in.flac", 6, ""},
        AllTheAudio{"ConcatenatedFlacFromPipe",
                    "ffmpeg -v error -i %d/a.wav %d/a.flac && "
                    "ffmpeg -v error -i %d/a.wav -ar 8000 -frame_size 1152 %d/b.flac && "
                    "cat %d/a.flac %d/b.flac > %d/in.flac",
                    "<in.flac", 6, ""},
        // Cut inside its metadata, before any frame: nothing converts, but
        // the header's length is said to be unmet.
        AllTheAudio{"FlacCutBeforeItsFirstFrame",
                    "sox %d/a.wav %d/a.flac && head -c 50 %d/a.flac > %d/in.flac", "in.flac", 0,
                    "the input ends at 0.00 s of the 3.00 s"},
        AllTheAudio{"FlacJunkLetInFromPipe",
                    "sox %d/a.wav %d/a.flac && "
                    "(head -c 20000 %d/a.flac; head -c 1000 /dev/zero; tail -c +20001 %d/a.flac) > %d/in.flac",
                    "<in.flac", 3, "1 damaged part of the stream was skipped"},
        AllTheAudio{"OggThenJunk", "sox %d/a.wav %d/a.ogg && (cat %d/a.ogg; head -c 3000 /dev/zero) > %d/in.ogg",
                    "in.ogg", 3, "3000 bytes after the last page"},
        // A data size that covers 1 s of the 3 (a header never finished).
        AllTheAudio{"WaveDataSizeShort",
                    "cp %d/a.wav %d/in.wav && printf '\\000\\175\\000\\000' | "
                    "dd of=%d/in.wav bs=1 seek=40 conv=notrunc status=none",
                    "in.wav", 1, "64000 bytes after the data chunk"},
        AllTheAudio{"WaveDataSizeShortFromPipe",
                    "cp %d/a.wav %d/in.wav && printf '\\000\\175\\000\\000' | "
                    "dd of=%d/in.wav bs=1 seek=40 conv=notrunc status=none",
                    "<in.wav", 1, "64000 bytes after the data chunk"},
        // Past what the tool kept of the stream's start, where libsndfile
        // reads ahead.
        AllTheAudio{"WaveThenJunkFromPipe", "(cat %d/a.wav; head -c 5000 /dev/zero) > %d/in.wav", "<in.wav", 3,
                    "5000 bytes after the data chunk"},
        // A data chunk that ends where the kept start of the stream does,
        // with a chunk after it that libsndfile looks at while opening.
        AllTheAudio{"WaveDataEndingWhereTheKeptStartEndsFromPipe",
                    "sox %d/a.wav -r 8000 -t raw - repeat 1 | head -c 65492 > %d/d.raw && "
                    "sox -r 8000 -e signed -b 16 -c 1 -t raw %d/d.raw %d/b.wav && "
                    "(cat %d/b.wav; printf 'LIST\\004\\000\\000\\000INFO') > %d/in.wav",
                    "<in.wav", 4.09, ""},
        // Chunks before the audio (tags, a picture) that run past the kept
        // start of the stream: the data chunk's header where it ends, and
        // far beyond it.
        AllTheAudio{"WaveDataHeaderWhereTheKeptStartEndsFromPipe",
                    "(head -c 36 %d/a.wav; printf 'LIST\\320\\377\\000\\000'; head -c 65488 /dev/zero; "
                    "tail -c +37 %d/a.wav) > %d/in.wav && "
                    "printf '\\374\\166\\002\\000' | dd of=%d/in.wav bs=1 seek=4 conv=notrunc status=none",
                    "<in.wav", 3, ""},
        AllTheAudio{"WaveLongTagsBeforeTheAudioFromPipe",
                    "(head -c 36 %d/a.wav; printf 'LIST\\100\\015\\003\\000'; head -c 200000 /dev/zero; "
                    "tail -c +37 %d/a.wav) > %d/in.wav && "
                    "printf '\\154\\204\\004\\000' | dd of=%d/in.wav bs=1 seek=4 conv=notrunc status=none",
                    "<in.wav", 3, ""},
        // A complete IMA ADPCM file whose last block is short (its sizes
        // made to agree with 3996 bytes of data after sox's 60-byte header).
        AllTheAudio{"ImaAdpcmShortLastBlock",
                    "sox %d/a.wav -r 8000 -e ima-adpcm %d/b.wav && head -c 4056 %d/b.wav > %d/in.wav && "
                    "printf '\\320\\017' | dd of=%d/in.wav bs=1 seek=4 conv=notrunc status=none && "
                    "printf '\\234\\017' | dd of=%d/in.wav bs=1 seek=56 conv=notrunc status=none",
                    "in.wav", 1, ""},
        // An empty AIFF with a chunk after its sound data.
        AllTheAudio{"EmptyAiffWithAnnotation",
                    "sox -n -r 8000 -c 1 -b 16 %d/e.aiff trim 0 0 && "
                    "(cat %d/e.aiff; printf 'ANNO\\000\\000\\000\\004note') > %d/in.aiff",
                    "in.aiff", 0, ""},
        // Two data chunks (2 s and 1 s): libsndfile takes the second, from a
        // pipe as from the file.
        AllTheAudio{"TwoDataChunksFromPipe",
                    "sox %d/a.wav -t raw %d/a.raw && head -c 32000 %d/a.raw > %d/b.raw && "
                    "sox -r 16000 -e signed -b 16 -c 1 -t raw %d/b.raw %d/b.wav && "
                    "(head -c 36 %d/b.wav; printf 'data\\000\\372\\000\\000'; head -c 64000 %d/a.raw; "
                    "tail -c +37 %d/b.wav) > %d/in.wav",
                    "<in.wav", 1, ""},
        // A 100000-byte LIST chunk after the data, well formed, from a pipe:
        // the chunk walk goes past what the tool kept of the stream's start.
        AllTheAudio{"WaveListAfterDataFromPipe",
                    "sox %d/a.wav -r 8000 %d/b.wav && "
                    "(cat %d/b.wav; printf 'LIST\\240\\206\\001\\000'; head -c 100000 /dev/zero) > %d/in.wav",
                    "<in.wav", 3, ""},
        // WAVE headers streamed before their audio, then saved: sizes that
        // mean "to the end" (sox's just under 2 GiB, ffmpeg's 4 GiB), for
        // samples of any width.
        AllTheAudio{"StreamedWaveFloatBySox",
                    "sox %d/a.wav -t raw - | sox -t raw -r 16000 -e signed -b 16 -c 1 - -t wav -e float -b 32 - "
                    "2>/dev/null | cat >%d/in.wav",
                    "in.wav", 3, ""},
        // A real header of over 2 GiB, cut short, is still said to be.
        AllTheAudio{"WaveOver2GiBCutShort",
                    "cp %d/a.wav %d/in.wav && printf '\\000\\000\\000\\232' | "
                    "dd of=%d/in.wav bs=1 seek=40 conv=notrunc status=none",
                    "in.wav", 3, "cut short"},
        AllTheAudio{"StreamedAiffBySox", "sox %d/a.wav -t aiff - | cat >%d/in.aiff", "in.aiff", 3, ""},
        AllTheAudio{"StreamedAiffBySoxFromPipe", "sox %d/a.wav -t aiff - | cat >%d/in.aiff", "<in.aiff", 3, ""},
        // CAF streamed by ffmpeg: a data size of -1, "to the end of the file".
        AllTheAudio{"StreamedCafByFfmpeg", "ffmpeg -v error -i %d/a.wav -f caf - >%d/in.caf", "in.caf", 3, ""},
        AllTheAudio{"StreamedCafByFfmpegFromPipe", "ffmpeg -v error -i %d/a.wav -f caf - >%d/in.caf", "<in.caf", 3,
                    ""},
        AllTheAudio{"StreamedWaveDoubleByFfmpeg",
                    "ffmpeg -v error -i %d/a.wav -c:a pcm_f64le -f wav - | cat >%d/in.wav", "in.wav", 3, ""},
        AllTheAudio{"StreamedImaAdpcmByFfmpeg",
                    "ffmpeg -v error -i %d/a.wav -c:a adpcm_ima_wav -f wav - | cat >%d/in.wav", "in.wav", 3, ""},
        // An 8-bit VOC file longer than the kept start of a pipe.
        AllTheAudio{"Voc8BitFromPipe", "sox %d/a.wav -b 8 %d/in.voc repeat 1", "<in.voc", 6, ""},
        AllTheAudio{"StreamedImaAdpcmByFfmpegThroughAPipe",
                    "ffmpeg -v error -i %d/a.wav -c:a adpcm_ima_wav -f wav - | cat >%d/in.wav", "<in.wav", 3, ""}),
    [](const auto& info) { return std::string(info.param.name); });

struct Hostile {
  const char* name;
  std::string command;  // with %d/speech.raw in place; its status is checked
  int status;
  std::string check;  // a shell test run afterwards; "" for none
  // Under qemu-user the tool is a script, and an emulator needs files of
  // its own: a handful of open files cannot even start it.
  bool emulated_too = true;
};

class ToolConvertHostile : public ::testing::TestWithParam<Hostile> {};

TEST_P(ToolConvertHostile, EndsAsItShould) {
  test::ScratchDir dir;
  const Hostile& c = GetParam();
#if defined(KIV_EMULATED)
  if (!c.emulated_too) GTEST_SKIP() << "not under an emulator";
#endif
  test::WriteFile(dir.path("speech.raw"), test::SpeechSample());
  std::string err;
  EXPECT_EQ(Shell(c.command, dir, nullptr, &err), c.status) << err;
  if (!c.check.empty()) {
    EXPECT_EQ(Shell(c.check, dir), 0) << c.check;
  }
  EXPECT_EQ(Leftovers(dir), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, ToolConvertHostile,
    ::testing::Values(
        // A link to a file not made yet: the file is made, the link stays.
        Hostile{"DanglingLink", "mkdir %d/archive && ln -s archive/memo.wav %d/latest.wav && "
                                "%t convert %d/speech.raw %d/latest.wav",
                0, "test -L %d/latest.wav && test -s %d/archive/memo.wav"},
        // A closed standard input is no input, not an empty one: the output
        // stays. (An emulator would open files of its own in its place.)
        Hostile{"ClosedStandardInput", "echo precious >%d/k.wav && %t convert - %d/k.wav <&-", 5,
                "grep -q precious %d/k.wav", false},
        Hostile{"ClosedStandardInputAsTheList", "%t convert -o %d/o --files-from - <&-", 5, "", false},
        Hostile{"PrivateOutputStaysPrivate", "touch %d/p.wav && chmod 600 %d/p.wav && %t convert %d/speech.raw %d/p.wav",
                0, "test \\$(stat -c %a %d/p.wav) = 600 && test -s %d/p.wav"},
        // As a user without write permission on the output: refused, untouched.
        Hostile{"ReadOnlyOutputAsAUser",
                "chmod 777 %d && touch %d/ro.wav && chmod 444 %d/ro.wav && chown nobody %d/ro.wav && "
                "setpriv --reuid=nobody --regid=nogroup --clear-groups %t convert %d/speech.raw %d/ro.wav",
                4, "test ! -s %d/ro.wav"},
        // More jobs than open files allow: fewer jobs, every file converted.
        Hostile{"JobsBeyondTheOpenFileLimit",
                "mkdir %d/in %d/o && for i in \\$(seq 100); do ln %d/speech.raw %d/in/s\\$i.raw; done && "
                "ulimit -n 64 && %t convert -j 100 -o %d/o %d/in/*.raw >/dev/null",
                0, "test \\$(ls %d/o | wc -l) = 100"},
        // A list of names from find -print0, outputs keeping their folders.
        Hostile{"FilesFromNulSeparatedKeepingTheTree",
                "mkdir -p %d/in/a %d/in/b %d/o && cp %d/speech.raw %d/in/a/x.raw && cp %d/speech.raw %d/in/b/x.raw && "
                "cd %d && find in -name '*.raw' -print0 | %t convert -o o -0 --keep-tree --files-from - >/dev/null",
                0, "cmp %d/o/in/a/x.wav %d/o/in/b/x.wav"},
        // Without --keep-tree the two names clash; the second is refused.
        Hostile{"FilesFromClash",
                "mkdir -p %d/in/a %d/in/b %d/o && cp %d/speech.raw %d/in/a/x.raw && cp %d/speech.raw %d/in/b/x.raw && "
                "printf '%s\\n' %d/in/a/x.raw %d/in/b/x.raw > %d/list && %t convert -j 1 -o %d/o --files-from %d/list",
                9, "test -s %d/o/x.wav"},
        // The README's recipe for many machines, on this one (--sshlogin :).
        Hostile{"GnuParallelRecipe",
                "mkdir -p %d/in %d/o && for i in \\$(seq 20); do cp %d/speech.raw %d/in/s\\$i.raw; done && cd %d && "
                "find in -name '*.raw' -print0 | parallel --will-cite --pipe --recend '\\0' -N 5 --sshlogin : "
                "'%t convert -o o -0 --keep-tree --files-from - >/dev/null'",
                0, "test \\$(find %d/o -name '*.wav' | wc -l) = 20"},
        // A full disk before even the header fits: the old output stays.
        Hostile{"FullDiskBeforeTheHeaderKeepsTheOldOutput",
                "%t convert %d/speech.raw %d/o.wav >/dev/null && cp %d/o.wav %d/keep.wav && "
                "(trap '' XFSZ; ulimit -f 0; %t convert %d/speech.raw %d/o.wav)",
                7, "cmp %d/o.wav %d/keep.wav"},
        // Lists as Windows editors and shells write them: UTF-16 with a
        // byte-order mark (either order, CRLF), UTF-8 with one.
        Hostile{"FilesFromUtf16LittleEndian",
                "mkdir %d/o && cp %d/speech.raw %d/caf\xc3\xa9.raw && cd %d && "
                "printf 'speech.raw\\r\\ncaf\xc3\xa9.raw\\r\\n' | iconv -t UTF-16 > list && "
                "%t convert -o o --files-from list >/dev/null",
                0, "test -s %d/o/speech.wav && test -s %d/o/caf\xc3\xa9.wav"},
        Hostile{"FilesFromUtf16BigEndian",
                "mkdir %d/o && cp %d/speech.raw %d/caf\xc3\xa9.raw && cd %d && "
                "(printf '\\376\\377'; printf 'speech.raw\\ncaf\xc3\xa9.raw' | iconv -t UTF-16BE) > list && "
                "%t convert -o o --files-from list >/dev/null",
                0, "test -s %d/o/speech.wav && test -s %d/o/caf\xc3\xa9.wav"},
        Hostile{"FilesFromUtf8WithAMark",
                "mkdir %d/o && cd %d && printf '\\357\\273\\277speech.raw\\n' > list && "
                "%t convert -o o --files-from list >/dev/null",
                0, "test -s %d/o/speech.wav"},
        // A lone surrogate names no file: that line is reported and skipped,
        // the others are converted.
        Hostile{"FilesFromUtf16WithALoneSurrogate",
                "mkdir %d/o && cd %d && (printf '\\377\\376'; printf 'x\\000\\000\\330\\n\\000'; "
                "printf 'speech.raw\\n' | iconv -t UTF-16LE) > list && "
                "%t convert -o o --files-from list 2>err >/dev/null; rc=\\$?; "
                "grep -q 'list, line 1: .* lone surrogate' err && exit \\$rc",
                5, "test -s %d/o/speech.wav"},
        // A list that cannot be read is a failure, not "0 of 0 converted".
        Hostile{"FilesFromAFolder", "mkdir %d/o %d/list && %t convert -o %d/o --files-from %d/list", 5, ""},
        // An output dated in the future was not written in this run.
        Hostile{"OutputFromTheFutureIsNoClash",
                "mkdir %d/o && touch -d '+1 day' %d/o/speech.wav && %t convert -o %d/o %d/speech.raw >/dev/null", 0,
                "test -s %d/o/speech.wav"},
        // As a container's first process (PID 1), with no parent to watch.
        Hostile{"AsPidOne", "unshare --pid --fork %t convert %d/speech.raw %d/o.wav >/dev/null", 0, "test -s %d/o.wav",
                false},
        // A decoded input needs no more than its own file and the output's:
        // 12 open files are plenty (below 16 the tool used to refuse; the
        // sanitizers' runtimes need a few of the 12 themselves).
        Hostile{"FewOpenFilesAreEnough",
                "sox -n -r 16000 -c 1 -b 16 %d/a.wav synth 1 sine 440 && "
                "(ulimit -n 12; timeout 20 %t convert %d/a.wav %d/o.wav >/dev/null)",
                0, "test -s %d/o.wav", false},
        // A name that was free when the job began and is another program's
        // by the end is left to it (the pipe holds 64 KiB: once 150000
        // bytes are in, the tool is reading, its output chosen).
        Hostile{"NewNameTakenMeanwhileIsLeftAlone",
                "cat %d/speech.raw %d/speech.raw >%d/big.raw && { head -c 150000 %d/big.raw; echo other >%d/race.wav; "
                "tail -c +150001 %d/big.raw; } | %t convert --raw - %d/race.wav",
                9, "test \\$(cat %d/race.wav) = other"},
        // A raw name is raw, whatever its first samples look like.
        Hostile{"RawNameWithAForeignSignature",
                "{ printf '\\377\\361\\000\\000ftyp'; cat %d/speech.raw; } >%d/s.raw && %t convert %d/s.raw %d/o.wav >/dev/null",
                0, "test \\$(stat -c %s %d/o.wav) -gt 10000"},
        // Folders --keep-tree made for inputs that failed go again.
        Hostile{"KeepTreeLeavesNoEmptyFolders",
                "cd %d && %t convert -o o --keep-tree x/y/missing.wav speech.raw >/dev/null", 5,
                "test ! -e %d/o/x && test -s %d/o/speech.wav"},
        // A signal while a FIFO waits for its writer ends the run as the
        // signal would, not as an unreadable input.
        Hostile{"SignalWhileAFifoWaits", "mkfifo %d/f && timeout --preserve-status -s TERM 1 %t convert %d/f %d/o.wav",
                143, "test ! -e %d/o.wav", false},
        // An endless Ogg stream with no Vorbis or Opus in it is read until
        // a signal asks for a stop, and no further.
        Hostile{"SignalWhileReadingOggWithoutAudio",
                "ffmpeg -v quiet -re -f lavfi -i sine -c:a flac -f ogg - | "
                "timeout --preserve-status -s TERM 2 %t convert - %d/o.wav",
                143, "test ! -e %d/o.wav", false},
        // A summary or help text that cannot be written is a failed write.
        Hostile{"SummaryToAFullDisk", "(%t convert %d/speech.raw %d/o.wav >/dev/full)", 7, "test -s %d/o.wav"},
        Hostile{"HelpToAFullDisk", "(%t --help >/dev/full)", 7, ""}),
    [](const auto& info) { return std::string(info.param.name); });

// In a folder that ignores case, two inputs whose outputs differ only in
// case would write one file: the second is refused with 9, whether the
// two run at once or one after the other, named on the command line or
// from a list. Needs a FAT or casefold ext4
// file system mounted from an image, which root can do where the kernel
// has one.
TEST(ToolConvert, OutputsThatDifferOnlyInCaseClashInACaseBlindFolder) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a case-blind file system needs root";
  test::ScratchDir dir;
  const std::string mount = "mkdir %d/mnt && truncate -s 32M %d/img && ";
  if (Shell(mount + "mkfs.vfat %d/img >/dev/null 2>&1 && mount -o loop %d/img %d/mnt 2>/dev/null", dir) != 0 &&
      Shell("rm -rf %d/mnt %d/img && " + mount +
                "mkfs.ext4 -q -O casefold %d/img && mount -o loop %d/img %d/mnt 2>/dev/null && "
                "mkdir %d/mnt/cf && chattr +F %d/mnt/cf",  // casefold needs an empty folder
            dir) != 0)
    GTEST_SKIP() << "neither a FAT nor a casefold ext4 image can be mounted here";
  test::WriteFile(dir.path("speech.raw"), test::SpeechSample());
  ASSERT_EQ(Shell("mkdir -p %d/a %d/b %d/mnt/cf && cp %d/speech.raw %d/a/Out.raw && cp %d/speech.raw %d/b/out.raw "
                  "&& printf '%s\\n' %d/a/Out.raw %d/b/out.raw > %d/list",
                  dir),
            0);
  for (const char* jobs : {"-j 2", "-j 1"}) {
    for (const char* inputs : {"%d/a/Out.raw %d/b/out.raw", "--files-from %d/list"}) {
      SCOPED_TRACE(std::string(jobs) + " " + inputs);
      EXPECT_EQ(Shell(std::string("%t convert ") + jobs + " -o %d/mnt/cf/o " + inputs + " 2>/dev/null", dir), 9);
      EXPECT_EQ(Shell("test \\$(ls %d/mnt/cf/o | wc -l) = 1 && rm -rf %d/mnt/cf/o", dir), 0);
    }
  }
  Shell("umount %d/mnt", dir);
}

// In a folder that tells case apart, names that differ only in case are
// two outputs, both converted.
TEST(ToolConvert, OutputsThatDifferOnlyInCaseAreTwoFilesInACaseSensitiveFolder) {
  test::ScratchDir dir;
  test::WriteFile(dir.path("speech.raw"), test::SpeechSample());
  ASSERT_EQ(Shell("mkdir -p %d/a %d/b && cp %d/speech.raw %d/a/Out.raw && cp %d/speech.raw %d/b/out.raw", dir), 0);
  EXPECT_EQ(Shell("%t convert -j 1 -o %d/o %d/a/Out.raw %d/b/out.raw", dir), 0);
  EXPECT_EQ(Shell("test -s %d/o/Out.wav && test -s %d/o/out.wav", dir), 0);
}

// An IMA ADPCM file whose last block is short (156 bytes: 305 samples)
// gives those samples and no more, whatever follows it: nothing from a
// chunk after the data, no silence where there are no bytes; by name and
// from a pipe alike.
TEST(ToolConvert, AdpcmShortLastBlockGivesItsOwnSamples) {
  test::ScratchDir dir;
  ASSERT_EQ(Shell("sox -n -r 8000 -c 1 %d/w.wav synth 1.1 sine 300 vol 0.5 && "
                  "sox %d/w.wav -e ima-adpcm %d/b.wav && head -c 4056 %d/b.wav > %d/a.wav && "
                  "printf '\\320\\017' | dd of=%d/a.wav bs=1 seek=4 conv=notrunc status=none && "
                  "printf '\\234\\017' | dd of=%d/a.wav bs=1 seek=56 conv=notrunc status=none && "
                  "(cat %d/a.wav; printf 'LIST\\310\\000\\000\\000'; head -c 200 /dev/zero | tr '\\0' w) "
                  "> %d/l.wav",
                  dir),
            0);
  for (const char* command : {"%t convert %d/a.wav %d/o.wav", "%t convert %d/l.wav %d/o.wav",
                              "cat %d/l.wav | %t convert - %d/o.wav"}) {
    std::string err;
    ASSERT_EQ(Shell(command, dir, nullptr, &err), 0) << command << "\n" << err;
    EXPECT_EQ(err, "") << command;
    // 15 blocks of 505 samples and 305: 7880, which is 24 GSM blocks.
    EXPECT_EQ(DecodedSamples(dir, dir.path("o.wav")).size(), 24u * 320) << command;
  }
}

TEST(ToolConvert, NanAndInfinityBecomeCountedSilence) {
  test::ScratchDir dir;
  ASSERT_EQ(Shell("sox -n -r 16000 -c 1 -e floating-point -b 32 %d/f.wav synth 1 sine 440 vol 0.1", dir), 0);
  Bytes f = test::ReadFile(dir.path("f.wav"));
  const unsigned char nan[4] = {0, 0, 0xc0, 0x7f}, inf[4] = {0, 0, 0x80, 0x7f};
  std::copy(nan, nan + 4, f.end() - 4 * 8000);
  std::copy(inf, inf + 4, f.end() - 4 * 4000);
  test::WriteFile(dir.path("f.wav"), f);
  std::string out;
  ASSERT_EQ(Shell("%t convert %d/f.wav %d/out.wav", dir, &out), 0);
  EXPECT_NE(out.find("2 NaN or infinite samples made silent"), std::string::npos) << out;
  EXPECT_EQ(out.find("clipped"), std::string::npos) << out;
}

// One finite sample far beyond full scale is clipped before the channels
// are mixed and resampled: it is counted as clipped, never taken for an
// infinity, and it does not ring through the resampler as a burst.
struct Extreme {
  const char* name;
  const char* format;  // sox's output options
  int channels;
  std::vector<unsigned char> value;  // one sample's bytes, put in every channel of one frame
};

class ToolConvertExtreme : public ::testing::TestWithParam<Extreme> {};

TEST_P(ToolConvertExtreme, IsClippedBeforeMixingAndResampling) {
  test::ScratchDir dir;
  const Extreme& c = GetParam();
  ASSERT_EQ(Shell(std::string("sox -n -r 16000 -c ") + std::to_string(c.channels) + " " + c.format +
                      " %d/f.wav synth 1 sine 440 vol 0.1",
                  dir),
            0);
  Bytes f = test::ReadFile(dir.path("f.wav"));
  const std::size_t frame = c.value.size() * static_cast<std::size_t>(c.channels);
  for (int ch = 0; ch < c.channels; ++ch)
    std::copy(c.value.begin(), c.value.end(), f.end() - 8000 * frame + ch * c.value.size());
  test::WriteFile(dir.path("f.wav"), f);
  std::string out;
  ASSERT_EQ(Shell("%t convert %d/f.wav %d/out.wav", dir, &out), 0);
  EXPECT_NE(out.find("samples clipped"), std::string::npos) << out;
  EXPECT_EQ(out.find("NaN"), std::string::npos) << out;
  std::size_t loud = 0;
  for (std::int16_t v : DecodedSamples(dir, dir.path("out.wav"))) loud += std::abs(int{v}) > 30000;
  EXPECT_EQ(loud, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Floats, ToolConvertExtreme,
    ::testing::Values(Extreme{"Stereo3e38", "-e floating-point -b 32", 2, {0xe6, 0xb1, 0x61, 0x7f}},
                      Extreme{"Mono1e30", "-e floating-point -b 32", 1, {0xca, 0xf2, 0x49, 0x71}},
                      Extreme{"Double1e300", "-e floating-point -b 64", 1, {0x9c, 0x75, 0x00, 0x88, 0x3c, 0xe4, 0x37, 0x7e}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ToolConvert, CountsAndReportsClippedSamples) {
  test::ScratchDir dir;
  // A float WAVE at twice full scale: every loud sample is held at the limit.
  ASSERT_EQ(Shell("sox -n -r 16000 -c 1 -e floating-point -b 32 %d/loud.wav synth 1 sine 440 vol 2", dir), 0);
  std::string out;
  ASSERT_EQ(Shell("%t convert %d/loud.wav %d/out.wav", dir, &out), 0);
  EXPECT_NE(out.find("samples clipped"), std::string::npos) << out;
  std::vector<std::int16_t> s = DecodedSamples(dir, dir.path("out.wav"));
  ASSERT_EQ(s.size(), 8000u);
}

// An existing output survives every conversion that does not finish.
struct Survival {
  const char* name;
  std::string command;
  int status;
};

class ToolConvertKeepsOutput : public ::testing::TestWithParam<Survival> {};

// Whether `dir`'s file system can make files with no name (O_TMPFILE).
bool UnnamedFilesIn(const std::string& dir) {
#if defined(O_TMPFILE)
  int fd = open(dir.c_str(), O_TMPFILE | O_WRONLY, 0600);
  if (fd < 0) return false;
  close(fd);
  return true;
#else
  (void)dir;
  return false;
#endif
}

TEST_P(ToolConvertKeepsOutput, LeavesAnExistingOutputAsItWas) {
  test::ScratchDir dir;
  if (std::string(GetParam().name).rfind("Sigkill", 0) == 0 && !UnnamedFilesIn(dir.path("")))
    GTEST_SKIP() << "this file system has no unnamed files (O_TMPFILE): SIGKILL leaves a .part file";
#if defined(KIV_EMULATED)
  // qemu-arm once hung for minutes when interrupting a hundred emulated
  // threads, and never again in 150 tries at every moment of the run; the
  // native and sanitized runs keep the case.
  if (std::string(GetParam().name) == "BatchCtrlCAtAHundredJobs") GTEST_SKIP() << "not under an emulator";
#endif
  // Conversions long enough to interrupt: sparse files read as silence.
  test::WriteFile(dir.path("long.raw"), {});
  std::filesystem::resize_file(dir.path("long.raw"), 1ull << 31);
  ASSERT_EQ(Shell("sox -n -r 48000 -c 2 -b 16 %d/short.wav synth 3 pinknoise vol 0.5", dir), 0);
  Bytes wav = test::ReadFile(dir.path("short.wav"));
  wav.resize(44);  // its header, then 1 GiB of silence as its data
  wav[40] = 0, wav[41] = 0, wav[42] = 0, wav[43] = 0x40;
  wav[4] = 36, wav[5] = 0, wav[6] = 0, wav[7] = 0x40;
  test::WriteFile(dir.path("long.wav"), wav);
  std::filesystem::resize_file(dir.path("long.wav"), 44 + (1ull << 30));
  test::WriteFile(dir.path("speech.raw"), test::SpeechSample());
  Bytes existing(1000, 0x5a);
  test::WriteFile(dir.path("out.wav"), existing);
  std::string err;
  int rc = Shell(GetParam().command, dir, nullptr, &err);
  EXPECT_EQ(rc, GetParam().status) << err;
  EXPECT_EQ(test::ReadFile(dir.path("out.wav")), existing);
  EXPECT_EQ(Leftovers(dir), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    Failures, ToolConvertKeepsOutput,
    ::testing::Values(
        Survival{"CtrlCWhileEncoding", "timeout --preserve-status -s INT 0.5 %t convert %d/long.raw %d/out.wav",
                 128 + SIGINT},
        Survival{"SigtermWhileEncoding", "timeout --preserve-status -s TERM 0.5 %t convert %d/long.raw %d/out.wav",
                 128 + SIGTERM},
        // Where the file system has unnamed files (ext4, tmpfs...), not even
        // SIGKILL leaves one behind.
        Survival{"SigkillWhileEncoding", "timeout --preserve-status -s KILL 0.5 %t convert %d/long.raw %d/out.wav",
                 128 + SIGKILL},
        Survival{"SigkillWhileReplacingByAPipe",
                 "cat %d/long.raw | timeout --preserve-status -s KILL 0.5 %t convert - %d/out.wav", 128 + SIGKILL},
        Survival{"CtrlCWhileResampling", "timeout --preserve-status -s INT 0.5 %t convert %d/long.wav %d/out.wav",
                 128 + SIGINT},
        // Reads of /proc/self/mem at offset 0 fail: an input read error.
        Survival{"ReadError", "%t convert /proc/self/mem %d/out.wav", KIV_ERR_INPUT_READ},
        Survival{"GsmInput", "%t convert %d/speech.raw %d/g.wav >/dev/null; %t convert %d/g.wav %d/out.wav",
                 KIV_ERR_ARGUMENT},
        Survival{"BatchCtrlC", "ln -s long.raw %d/other.raw && timeout --preserve-status -s INT 0.5 %t convert -j 2 -o %d "
                 "%d/other.raw %d/long.wav",
                 128 + SIGINT},
        // One request ends a batch whose job waits on an input with no
        // writer, or on a list that brings no more names.
        Survival{"BatchSigtermWhileAnInputWaits",
                 "mkfifo %d/out.raw && timeout -k 5 --preserve-status -s TERM 0.5 %t convert -o %d %d/out.raw",
                 128 + SIGTERM},
        Survival{"BatchSigtermWhileTheListWaits",
                 "mkfifo %d/list && exec 3<>%d/list && "
                 "timeout -k 5 --preserve-status -s TERM 0.5 %t convert -o %d --files-from %d/list",
                 128 + SIGTERM},
        // A decode of an unfinished file of 300 MB (its placeholders, then zeros).
        Survival{"CtrlCWhileDecoding",
                 "%t convert %d/speech.raw %d/g.wav >/dev/null && "
                 "for o in 4 56; do printf '\\x80\\x84\\x1e\\x00' | dd of=%d/g.wav bs=1 seek=\\$o conv=notrunc "
                 "2>/dev/null; done && printf '\\x20\\x85\\x1e\\x00' | dd of=%d/g.wav bs=1 seek=48 conv=notrunc "
                 "2>/dev/null && truncate -s 300M %d/g.wav && "
                 "timeout --preserve-status -s INT 0.5 %t decode %d/g.wav %d/out.wav",
                 128 + SIGINT},
        // A hundred conversions at once, each with two or three temporary files.
        Survival{"BatchCtrlCAtAHundredJobs",
                 "mkdir %d/in %d/o && for i in \\$(seq 300); do ln %d/long.wav %d/in/s\\$i.wav; done && "
                 "timeout --preserve-status -s INT 0.7 %t convert -j 100 -o %d/o %d/in/*.wav >/dev/null",
                 128 + SIGINT}),
    [](const auto& info) { return std::string(info.param.name); });

// A recording that another kivgsm is making holds its file: a second writer
// on it is refused with 9, and the recording finishes whole.
struct BesideARecording {
  const char* name;
  std::string command;  // writes %d/m.wav while the recording runs
  std::string message;  // expected on stderr
};

const std::string kWrittenElsewhere = "being written by another program";

class ToolBesideARecording : public ::testing::TestWithParam<BesideARecording> {};

TEST_P(ToolBesideARecording, RefusesASecondWriterAndTheRecordingFinishes) {
  test::ScratchDir dir;
  test::WriteFile(dir.path("speech.raw"), test::SpeechSample());
  std::ofstream(dir.path("asound.conf")) << test::AlsaFilePluginConfig(dir.path("speech.raw"));
  ASSERT_EQ(Shell("%t convert %d/speech.raw %d/g.wav >/dev/null", dir), 0);
  std::string err;
  int rc = Shell("export ALSA_CONFIG_PATH=%d/asound.conf; %t record %d/m.wav </dev/null >%d/record.log 2>&1 & "
                 "for i in \\$(seq 200); do [ -s %d/m.wav ] && break; sleep 0.05; done; " + GetParam().command +
                     "; rc=\\$?; "
                     // Under emulation the capture is slower: let it outgrow g.wav before it is stopped.
                     "for i in \\$(seq 400); do [ \\$(stat -c %s %d/m.wav) -gt \\$(stat -c %s %d/g.wav) ] && break; "
                     "sleep 0.05; done; kill -TERM \\$!; wait \\$!; echo \\$? >%d/record.status; exit \\$rc",
                 dir, nullptr, &err);
  EXPECT_EQ(rc, KIV_ERR_ARGUMENT) << err;
  EXPECT_NE(err.find(GetParam().message), std::string::npos) << err;
  Bytes status = test::ReadFile(dir.path("record.status"));
  EXPECT_EQ(std::string(status.begin(), status.end()), std::to_string(128 + SIGTERM) + "\n");
  std::string info;
  EXPECT_EQ(Shell("%t info %d/m.wav", dir, &info), 0) << info;
  EXPECT_NE(info.find("GSM 06.10 WAVE"), std::string::npos) << info;
  // Captured thousands of times faster than real time: far more than g.wav.
  EXPECT_GT(test::ReadFile(dir.path("m.wav")).size(), test::ReadFile(dir.path("g.wav")).size()) << "not the recording";
  EXPECT_EQ(Leftovers(dir), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    SecondWriters, ToolBesideARecording,
    ::testing::Values(BesideARecording{"Convert", "%t convert %d/speech.raw %d/m.wav", kWrittenElsewhere},
                      BesideARecording{"Decode", "%t decode %d/g.wav %d/m.wav", kWrittenElsewhere},
                      BesideARecording{"Record", "%t record --seconds 0.2 %d/m.wav </dev/null", "being written by another program"},
                      BesideARecording{"Repair", "%t repair %d/m.wav", kWrittenElsewhere}),
    [](const auto& info) { return std::string(info.param.name); });

// An output that exists is held under the writers' lock from the start of
// the job until the new file is in place: a recording or a repair started
// on it meanwhile is refused, not overwritten when the conversion ends.
class ToolHoldsAnExistingOutput : public ::testing::TestWithParam<const char*> {};

TEST_P(ToolHoldsAnExistingOutput, UntilItIsReplaced) {
  test::ScratchDir dir;
  test::WriteFile(dir.path("speech.raw"), test::SpeechSample());
  ASSERT_EQ(Shell("%t convert %d/speech.raw %d/m.wav >/dev/null && mkfifo %d/m.raw", dir), 0);
  // The job waits for its input, a FIFO; once the system lists a lock on
  // the output (the job's, or none after 20 s), a repair tries it.
  int rc = Shell("%t " + std::string(GetParam()) + " >/dev/null & "
                 "ino=\\$(stat -c %i %d/m.wav); for i in \\$(seq 400); do "
                 "grep -q \\\":\\$ino \\\" /proc/locks && break; sleep 0.05; done; "
                 "%t repair --dry-run %d/m.wav >/dev/null 2>&1; rc=\\$?; "
                 "timeout 20 sh -c 'head -c 32000 %d/speech.raw >%d/m.raw'; wait \\$! || exit 99; exit \\$rc",
                 dir);
  EXPECT_EQ(rc, KIV_ERR_ARGUMENT) << "the output was not held while the job ran";
  EXPECT_EQ(test::ReadFile(dir.path("m.wav")).size(), 60u + 50u * 65u) << "not replaced by the job's file";
}

INSTANTIATE_TEST_SUITE_P(Jobs, ToolHoldsAnExistingOutput,
                         ::testing::Values("convert %d/m.raw %d/m.wav", "convert -o %d %d/m.raw"));

TEST(ToolConvert, RefusesOutputsThatAreNotFilesBeforeWritingAnything) {
  test::ScratchDir dir;
  test::WriteFile(dir.path("speech.raw"), test::SpeechSample());
  for (std::string target : {"/dev/stdout", "/proc/self/fd/1", "%d/fifo"}) {
    std::string out, err;
    int rc = Shell("mkfifo %d/fifo 2>/dev/null; timeout 10 %t convert %d/speech.raw " + target, dir, &out, &err);
    EXPECT_EQ(rc, KIV_ERR_OUTPUT_CREATE) << target << ": " << err;
    EXPECT_TRUE(out.empty()) << target << ": " << out.size() << " bytes on stdout";
    EXPECT_NE(err.find("not standard output, a pipe"), std::string::npos) << err;
  }
  EXPECT_EQ(Leftovers(dir), std::vector<std::string>{});
}

TEST(ToolRecord, AClosedStderrNeverEndsUpInTheRecording) {
  test::ScratchDir dir;
  std::ofstream(dir.path("asound.conf")) << test::kAlsaNoDeviceConfig;
  Shell("ALSA_CONFIG_PATH=%d/asound.conf %t record %d/g.wav 2>&-", dir);
  std::string info;
  EXPECT_EQ(Shell("%t info %d/g.wav", dir, &info), 0) << info;
  EXPECT_EQ(test::ReadFile(dir.path("g.wav")).size(), 60u);
}

TEST(ToolConvertBatch, ConvertsWhatItCanAndNamesEachFailure) {
  test::ScratchDir dir;
  test::WriteFile(dir.path("a.raw"), test::SpeechSample());
  ASSERT_EQ(Shell("sox -t raw -r 8000 -c 1 -e signed -b 16 %d/a.raw -r 44100 -c 2 %d/b.wav && "
                  "sox %d/b.wav -r 16000 %d/d.flac && %t convert %d/a.raw %d/c.wav >/dev/null && mkdir %d/out",
                  dir),
            0);
  std::string out, err;
  int rc = Shell("%t convert -j 3 --out-dir %d/out %d/a.raw %d/b.wav %d/c.wav %d/missing.raw %d/d.flac", dir, &out,
                 &err);
  EXPECT_EQ(rc, KIV_ERR_ARGUMENT) << "the first failure's code";
  EXPECT_NE(out.find("3 of 5 files converted"), std::string::npos) << out;
  EXPECT_NE(err.find("failed: " + dir.path("c.wav") + ": already a GSM WAVE"), std::string::npos) << err;
  EXPECT_NE(err.find("failed: " + dir.path("missing.raw") + ": cannot open"), std::string::npos) << err;
  for (const char* name : {"a.raw", "b.wav", "d.flac"}) {
    std::string stem = std::filesystem::path(name).stem().string();
    ASSERT_EQ(Shell(std::string("%t convert %d/") + name + " %d/single.wav", dir), 0);
    EXPECT_EQ(test::ReadFile(dir.path("out/" + stem + ".wav")), test::ReadFile(dir.path("single.wav"))) << name;
  }
  EXPECT_FALSE(test::Exists(dir.path("out/missing.wav")));
  EXPECT_EQ(Leftovers(dir), std::vector<std::string>{});

  // Two inputs that would write one output: refused before anything starts.
  EXPECT_EQ(Shell("mkdir %d/clash && %t convert -o %d/clash %d/a.raw %d/b.wav %d/a.wav", dir, nullptr, &err),
            KIV_ERR_ARGUMENT);
  EXPECT_NE(err.find("would both be written to"), std::string::npos) << err;
  EXPECT_TRUE(std::filesystem::is_empty(dir.path("clash")));
}

struct DecodeCase {
  const char* name;
  std::string encode;  // makes %d/g.wav
  std::uint32_t samples;
};

class ToolDecode : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(ToolDecode, GivesSoxsSamplesExactlyTheCountedNumber) {
  test::ScratchDir dir;
  test::WriteFile(dir.path("speech.raw"), test::SpeechSample());
  ASSERT_EQ(Shell(GetParam().encode, dir), 0);
  std::string err;
  ASSERT_EQ(Shell("%t decode %d/g.wav %d/pcm.wav", dir, nullptr, &err), 0) << err;
  std::vector<std::int16_t> ours = DecodedSamples(dir, dir.path("pcm.wav"));
  std::vector<std::int16_t> theirs = DecodedSamples(dir, dir.path("g.wav"));
  EXPECT_EQ(ours.size(), GetParam().samples);
  theirs.resize(std::min(theirs.size(), ours.size()));
  EXPECT_EQ(ours, theirs);
}

INSTANTIATE_TEST_SUITE_P(
    Files, ToolDecode,
    ::testing::Values(DecodeCase{"Ours", "%t convert %d/speech.raw %d/g.wav", 71680},
                      // sox counts the samples of its last, zero-padded block exactly.
                      DecodeCase{"SoxsOddLength",
                                 "sox -t raw -r 8000 -c 1 -e signed -b 16 %d/speech.raw -e gsm-full-rate %d/g.wav "
                                 "trim 0 1000s",
                                 1000}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kiv
