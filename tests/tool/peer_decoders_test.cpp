// SPDX-License-Identifier: MIT
// Real clients as judges: ffmpeg's own gsm_ms decoder, sox (through
// libgsm) and libsndfile must read our files without a warning, to exactly 320 samples per
// block, and hear the speech that went in; sox's own GSM encoder must
// produce the same payload for the same samples.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "kivgsm.h"
#include "support/test_files.h"

namespace kiv {
namespace {

using test::Bytes;

struct Decoder {
  const char* name;
  const char* command;  // %1 = input file, %2 = raw s16le output file
};

std::string Fill(std::string cmd, const std::string& in, const std::string& out) {
  cmd.replace(cmd.find("%1"), 2, "'" + in + "'");
  cmd.replace(cmd.find("%2"), 2, "'" + out + "'");
  return cmd;
}

// Best normalised cross-correlation over lags of up to 20 ms. GSM 06.10 is
// a waveform-matching coder (RPE-LTP), so its output follows the input's
// waveform closely once any codec delay is allowed for; noise or a decoder
// that misreads the packing falls far below the threshold.
double AlignedCorrelation(const std::vector<std::int16_t>& a, const std::vector<std::int16_t>& b, int* bestLag) {
  double best = -1;
  std::size_t n = std::min(a.size(), b.size());
  for (int lag = -160; lag <= 160; ++lag) {
    double sab = 0, saa = 0, sbb = 0;
    for (std::size_t i = 160; i + 160 < n; ++i) {
      double x = a[i], y = b[static_cast<std::size_t>(static_cast<long>(i) + lag)];
      sab += x * y;
      saa += x * x;
      sbb += y * y;
    }
    double r = sab / std::sqrt(saa * sbb);
    if (r > best) {
      best = r;
      *bestLag = lag;
    }
  }
  return best;
}

class PeerDecoder : public ::testing::TestWithParam<Decoder> {};

TEST_P(PeerDecoder, DecodesOurFileCleanlyToTheSpeech) {
  test::ScratchDir dir;
  Bytes speech = test::SpeechSample();
  test::WriteFile(dir.path("in.raw"), speech);
  ASSERT_EQ(KivWave2GSM610(test::Path16(dir.path("in.raw")).c_str(), test::Path16(dir.path("out.wav")).c_str()),
            KIV_OK);
  std::string err;
  ASSERT_EQ(test::RunCommand(Fill(GetParam().command, dir.path("out.wav"), dir.path("dec.raw")), nullptr, &err), 0)
      << err;
  EXPECT_EQ(err, "") << "the decoder warned";
  std::vector<std::int16_t> decoded = test::ToSamples(test::ReadFile(dir.path("dec.raw")));
  std::size_t blocks = speech.size() / 640;
  EXPECT_EQ(decoded.size(), 320 * blocks);
  int lag = 0;
  double r = AlignedCorrelation(test::ToSamples(speech), decoded, &lag);
  // The bundled sample decodes to r = 0.96 at lag 0 (SNR about 11 dB);
  // a one-sample misalignment alone drops r to 0.80.
  EXPECT_GT(r, 0.9) << "lag " << lag;
  EXPECT_EQ(lag, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Clients, PeerDecoder,
    ::testing::Values(Decoder{"ffmpeg", "ffmpeg -nostdin -v warning -c:a gsm_ms -i %1 -f s16le -y %2"},
                      Decoder{"sox", "sox -V2 %1 -t raw -e signed-integer -b 16 %2"},
                      Decoder{"libsndfile", "sndfile-convert -pcm16 %1 %2"}),
    [](const auto& info) { return std::string(info.param.name); });

// The payload of a WAVE file: the bytes of its data chunk.
Bytes DataChunk(const Bytes& wav) {
  for (std::size_t pos = 12; pos + 8 <= wav.size();) {
    std::uint32_t size = test::Le32(wav, pos + 4);
    if (std::memcmp(&wav[pos], "data", 4) == 0) {
      return Bytes(wav.begin() + pos + 8, wav.begin() + std::min<std::size_t>(wav.size(), pos + 8 + size));
    }
    pos += 8 + size + (size & 1);
  }
  return {};
}

TEST(PeerEncoder, SoxGsmEncodingHasOurPayloadForWholeBlocks) {
  test::ScratchDir dir;
  Bytes speech = test::SpeechSample();
  test::WriteFile(dir.path("in.raw"), speech);
  ASSERT_EQ(KivWave2GSM610(test::Path16(dir.path("in.raw")).c_str(), test::Path16(dir.path("ours.wav")).c_str()),
            KIV_OK);
  ASSERT_EQ(test::RunCommand("sox -t raw -r 8000 -e signed-integer -b 16 -c 1 '" + dir.path("in.raw") +
                             "' -t wav -e gsm-full-rate '" + dir.path("sox.wav") + "'"),
            0);
  Bytes ours = DataChunk(test::ReadFile(dir.path("ours.wav")));
  Bytes theirs = DataChunk(test::ReadFile(dir.path("sox.wav")));
  ASSERT_EQ(ours.size(), speech.size() / 640 * 65);
  ASSERT_GE(theirs.size(), ours.size());  // sox also encodes the padded tail
  EXPECT_EQ(Bytes(theirs.begin(), theirs.begin() + static_cast<long>(ours.size())), ours);
}

}  // namespace
}  // namespace kiv
