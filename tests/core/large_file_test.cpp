// SPDX-License-Identifier: MIT
// Files past 2 GiB through the real file layer: positions and lengths are
// 64-bit on every build, 32-bit ARM included (large-file support). Sparse
// files and a layer that jumps over a hole keep the test from writing or
// encoding gigabytes.
#include <gtest/gtest.h>

#include <filesystem>

#include "convert/gsm_file_converter.h"
#include "io/file_stream.h"
#include "kivgsm.h"
#include "support/fake_wave_input.h"
#include "support/test_files.h"

namespace kiv {
namespace {

using test::Bytes;
using test::Path16;

constexpr std::int64_t k2GiB = std::int64_t{1} << 31;

Bytes Pattern(std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>(i * 31 + 7);
  return b;
}

TEST(LargeFile, PositionsAndLengthsPastTwoGiBThroughTheFileLayer) {
  test::ScratchDir dir;
  const FileSystem* fs = DefaultFileSystem();
  std::string name = dir.path("big.bin");
  Bytes data = Pattern(8000);
  FileStream* out = fs->open(fs, Path16(name).c_str(), OpenMode::kWrite, nullptr);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(StreamWrite(out, data.data(), 44, 1), 1u);
  ASSERT_TRUE(StreamSeek(out, k2GiB + 1000, SeekOrigin::kStart));
  EXPECT_EQ(StreamWrite(out, data.data(), 2, 4000), 4000u);
  EXPECT_EQ(StreamTell(out), k2GiB + 9000);
  ASSERT_TRUE(StreamSeek(out, 0, SeekOrigin::kEnd));
  EXPECT_EQ(StreamTell(out), k2GiB + 9000);
  EXPECT_TRUE(StreamTruncate(out, k2GiB + 4000));
  EXPECT_EQ(StreamTell(out), k2GiB + 4000);
  EXPECT_TRUE(StreamClose(out));
  EXPECT_EQ(std::filesystem::file_size(name), static_cast<std::uintmax_t>(k2GiB + 4000));

  FileStream* in = fs->open(fs, Path16(name).c_str(), OpenMode::kRead, nullptr);
  ASSERT_NE(in, nullptr);
  ASSERT_TRUE(StreamSeek(in, k2GiB + 1000, SeekOrigin::kStart));
  Bytes back(3000);
  EXPECT_EQ(StreamRead(in, back.data(), 3000, 1), 1u);
  EXPECT_EQ(back, Bytes(data.begin(), data.begin() + 3000));
  EXPECT_EQ(StreamRead(in, back.data(), 3000, 1), 0u);  // the end, not an error
  EXPECT_FALSE(StreamFailed(in));
  StreamClose(in);
}

// The real file layer, with input streams that start at `read_from` and
// output streams that jump over a hole of `hole` bytes after their first
// `header` bytes: the tail of a file past 2 GiB without the gigabytes.
struct SkippingFileSystem {
  FileSystem fs{&Open, &Identify, this};
  std::int64_t read_from = 0;
  std::int64_t header = 0, hole = 0;

  struct HoleStream {
    FileStream base;
    FileStream* inner;
    std::int64_t header, hole;
    bool jumped = false;
  };
  static FileStream* Inner(FileStream* s) { return reinterpret_cast<HoleStream*>(s)->inner; }
  static std::size_t Write(FileStream* s, const void* src, std::size_t size, std::size_t count) {
    auto* h = reinterpret_cast<HoleStream*>(s);
    if (!h->jumped && StreamTell(h->inner) >= h->header) {
      h->jumped = true;
      if (!StreamSeek(h->inner, h->header + h->hole, SeekOrigin::kStart)) return 0;
    }
    return StreamWrite(h->inner, src, size, count);
  }
  static bool Close(FileStream* s) {
    auto* h = reinterpret_cast<HoleStream*>(s);
    bool ok = StreamClose(h->inner);
    delete h;
    return ok;
  }
  static constexpr FileStreamMethods kHoleMethods = {
      [](FileStream* s, void* d, std::size_t z, std::size_t c) { return StreamRead(Inner(s), d, z, c); },
      &Write,
      [](FileStream* s, std::int64_t o, SeekOrigin w) { return StreamSeek(Inner(s), o, w); },
      [](FileStream* s) { return StreamTell(Inner(s)); },
      [](FileStream* s, std::int64_t n) { return StreamTruncate(Inner(s), n); },
      [](FileStream* s) { return StreamFlush(Inner(s)); },
      [](FileStream* s) { return StreamFailed(Inner(s)); },
      [](FileStream* s, FileIdentity* id) { return StreamIdentify(Inner(s), id); },
      &Close};

  static FileStream* Open(const FileSystem* fs, const KivPathChar* path, OpenMode mode, OutputOpen* why) {
    auto* self = static_cast<SkippingFileSystem*>(fs->context);
    const FileSystem* real = DefaultFileSystem();
    FileStream* inner = real->open(real, path, mode, why);
    if (inner == nullptr) return nullptr;
    if (mode == OpenMode::kRead) {
      if (self->read_from != 0 && !StreamSeek(inner, self->read_from, SeekOrigin::kStart)) {
        StreamClose(inner);
        return nullptr;
      }
      return inner;
    }
    if (self->hole == 0) return inner;
    return &(new HoleStream{{&kHoleMethods}, inner, self->header, self->hole})->base;
  }
  static NameLookup Identify(const FileSystem*, const KivPathChar* path, FileIdentity* id) {
    const FileSystem* real = DefaultFileSystem();
    return real->identify(real, path, id);
  }
};

TEST(LargeFile, ConverterReadsAcrossTwoGiB) {
  // An input of 2^31 + 640*3 bytes: sparse zeros, then five blocks of speech
  // (and 128 bytes) that straddle the 2 GiB mark. The converter starts
  // reading 5 blocks and 128 bytes before the end, as if the zeros before
  // had been converted.
  test::ScratchDir dir;
  constexpr std::int64_t kLength = k2GiB + 640 * 3;
  constexpr std::int64_t kTail = 640 * 5 + 128;
  Bytes speech = test::SpeechSample();
  speech.resize(kTail);
  test::WriteFile(dir.path("tail.raw"), speech);
  ASSERT_EQ(KivWave2GSM610(Path16(dir.path("tail.raw")).c_str(), Path16(dir.path("tail.wav")).c_str()), KIV_OK);

  const FileSystem* real = DefaultFileSystem();
  FileStream* big = real->open(real, Path16(dir.path("big.raw")).c_str(), OpenMode::kWrite, nullptr);
  ASSERT_NE(big, nullptr);
  ASSERT_TRUE(StreamSeek(big, kLength - kTail, SeekOrigin::kStart));
  ASSERT_EQ(StreamWrite(big, speech.data(), speech.size(), 1), 1u);
  ASSERT_TRUE(StreamClose(big));
  ASSERT_EQ(std::filesystem::file_size(dir.path("big.raw")), static_cast<std::uintmax_t>(kLength));

  SkippingFileSystem skipping;
  skipping.read_from = kLength - kTail;
  EXPECT_EQ(ConvertRawToGsmWave(&skipping.fs, Path16(dir.path("big.raw")).c_str(),
                                Path16(dir.path("big.wav")).c_str(), kMaxGsmBlocks),
            KIV_OK);
  EXPECT_EQ(test::ReadFile(dir.path("big.wav")), test::ReadFile(dir.path("tail.wav")));
}

TEST(LargeFile, PcmRecordingWritesPastTwoGiB) {
  test::ScratchDir dir;
  SkippingFileSystem skipping;
  skipping.header = 44;
  skipping.hole = k2GiB;
  SetFileSystemForTesting(&skipping.fs);
  {
    test::FakeWaveInput fake({.max_deliveries = 3});
    ASSERT_EQ(KivGSMWAVSoundRecorderStart(Path16(dir.path("long.wav")).c_str()), KIV_OK);
    ASSERT_TRUE(fake.WaitForDeliveries(3));
    EXPECT_EQ(KivGSMWAVSoundRecorderStop(), 1);  // 1.5 s, every delivery written
  }
  SetFileSystemForTesting(nullptr);
  ASSERT_EQ(std::filesystem::file_size(dir.path("long.wav")), static_cast<std::uintmax_t>(44 + k2GiB + 24000));
  const FileSystem* real = DefaultFileSystem();
  FileStream* in = real->open(real, Path16(dir.path("long.wav")).c_str(), OpenMode::kRead, nullptr);
  ASSERT_NE(in, nullptr);
  ASSERT_TRUE(StreamSeek(in, 44 + k2GiB, SeekOrigin::kStart));
  std::vector<std::int16_t> samples(12000);
  ASSERT_EQ(StreamRead(in, samples.data(), 2, samples.size()), samples.size());
  StreamClose(in);
  for (std::size_t n = 0; n < samples.size(); ++n)
    ASSERT_EQ(samples[n], static_cast<std::int16_t>(n * 7 + 3)) << n;  // the fake's signal, little-endian host
}

}  // namespace
}  // namespace kiv
