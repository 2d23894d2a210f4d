// SPDX-License-Identifier: MIT
// The converter's exact bytes on every platform: the SHA-256 of its output
// for inputs that this test generates with integer arithmetic alone, so
// that every build (x86-64, arm64, armhf, the Windows DLL under Wine) feeds
// the same samples. The table was computed once on x86-64 Linux; any
// platform whose libgsm build or file layer changed a single byte fails.
// It calls the shared library (kivgsm.dll on Windows) as a host would.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "kivgsm.h"
#include "support/sha256.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Samples = std::vector<std::int16_t>;

Bytes LittleEndian(const Samples &s) {
  Bytes b;
  for (std::int16_t v : s) {
    b.push_back(static_cast<unsigned char>(static_cast<std::uint16_t>(v) & 0xff));
    b.push_back(static_cast<unsigned char>(static_cast<std::uint16_t>(v) >> 8));
  }
  return b;
}

Bytes Speech() {
  std::ifstream in(KIV_SPEECH_SAMPLE, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

Samples Noise(std::size_t n) {
  std::uint64_t state = 0x6b6976677336ull;  // fixed seed; splitmix64
  Samples s(n);
  for (auto &v : s) {
    std::uint64_t z = (state += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    v = static_cast<std::int16_t>(static_cast<std::uint16_t>((z ^ (z >> 31)) >> 48));
  }
  return s;
}

Samples Square(std::size_t n, std::size_t half_period) {
  Samples s(n);
  for (std::size_t i = 0; i < n; ++i) s[i] = (i / half_period) % 2 ? -32768 : 32767;
  return s;
}

// A sweep from 100 Hz to 3900 Hz at one and a half times full scale, held at
// the 16-bit limits: a parabolic sine of an integer phase accumulator.
Samples ClippedChirp(std::size_t n) {
  Samples s(n);
  std::uint32_t phase = 0;
  for (std::size_t i = 0; i < n; ++i) {
    std::uint64_t hz = 100 + 3800 * i / n;
    phase += static_cast<std::uint32_t>((hz << 32) / 8000);
    std::int64_t q = static_cast<std::int32_t>(phase) >> 16;    // -32768..32767 over one period
    std::int64_t y = 4 * q * (32768 - (q < 0 ? -q : q)) >> 15;  // about +-32768
    std::int64_t v = y * 3 / 2;
    s[i] = static_cast<std::int16_t>(v > 32767 ? 32767 : v < -32768 ? -32768 : v);
  }
  return s;
}

struct Golden {
  const char *name;
  Bytes (*input)();
  const char *sha256;
};

constexpr std::size_t kBlock = 320;

const Golden kTable[] = {
    {"Speech", [] { return Speech(); }, "a398c090564663b2595a57e3dbc19ddaa776a23762a90881d586d1617ef656dd"},
    {"FullScaleNoise", [] { return LittleEndian(Noise(100 * kBlock)); },
     "a98826ace1b1f78424996b27663245e0ab54f6bb50437442885712e8edb6622f"},
    {"ConstantMinimum", [] { return LittleEndian(Samples(50 * kBlock, -32768)); },
     "caf20c8481a6c7daf157dd06843cacb686bd6022e1bc2f4952ecc095c121f056"},
    {"SquareAtNyquist", [] { return LittleEndian(Square(50 * kBlock, 1)); },
     "05fc9fe504b8b46e123647a96f9e920dd233e6bf57b7d104003599af0b9259cc"},
    {"Square200Hz", [] { return LittleEndian(Square(50 * kBlock, 20)); },
     "204519332fd402ee5857022ada3b1f6e6f30003d8b60bc8a91097bca70606f29"},
    {"ClippedChirp", [] { return LittleEndian(ClippedChirp(50 * kBlock)); },
     "876804bed080d222b3101d7e39bb96e4edf6f6f7e8eb9c9963db4d9224ac436e"},
    {"Silence", [] { return LittleEndian(Samples(25 * kBlock, 0)); },
     "a7720f9ef1c71722b79d5e4afe0df56d3128c11e8bf3ef3a78a6e8a6fa85e473"},
    {"OddLength",
     [] {
       Bytes b = Speech();
       b.resize(7 * 640 + 333);
       return b;
     },
     "8558de7ec06532cc5a6183bc4afed8304caedef4ff0ef73341f2867e6a73c531"},
};

std::basic_string<KivPathChar> Native(const std::filesystem::path &p) {
#if defined(_WIN32)
  return p.wstring();
#else
  return p.u16string();
#endif
}

void PrintTo(const Golden &g, std::ostream *os) { *os << g.name; }

class GoldenOutput : public ::testing::TestWithParam<Golden> {};

TEST_P(GoldenOutput, ConverterOutputHasTheRecordedDigest) {
  const Golden &g = GetParam();
  auto dir = std::filesystem::temp_directory_path() /
             ("kivgsm-golden-" + std::string(g.name) + "-" + std::to_string(std::random_device{}()));
  std::filesystem::create_directories(dir);
  Bytes input = g.input();
  ASSERT_GT(input.size(), 640u);
  {
    std::ofstream out(dir / "in.raw", std::ios::binary);
    out.write(reinterpret_cast<const char *>(input.data()), static_cast<std::streamsize>(input.size()));
  }
  ASSERT_EQ(KivWave2GSM610(Native(dir / "in.raw").c_str(), Native(dir / "out.wav").c_str()), KIV_OK);
  std::ifstream in(dir / "out.wav", std::ios::binary);
  Bytes output((std::istreambuf_iterator<char>(in)), {});
  in.close();
  EXPECT_EQ(output.size(), 60 + input.size() / 640 * 65);
  EXPECT_EQ(kiv::test::Sha256Hex(output), g.sha256);
  std::filesystem::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Inputs, GoldenOutput, ::testing::ValuesIn(kTable),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(Sha256, KnownAnswers) {
  EXPECT_EQ(kiv::test::Sha256Hex({}), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(kiv::test::Sha256Hex({'a', 'b', 'c'}), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  std::string two_blocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  EXPECT_EQ(kiv::test::Sha256Hex(Bytes(two_blocks.begin(), two_blocks.end())),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

}  // namespace
