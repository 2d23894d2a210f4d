// SPDX-License-Identifier: MIT
#include "support/wave_files.h"

#include <gtest/gtest.h>

#include "kivgsm.h"
#include "record/pcm_wave_recorder.h"
#include "support/fake_wave_input.h"

namespace kiv::test {

Bytes CrashedRecording(bool gsm, bool previous) {
  ScratchDir dir;
  FakeWaveInput fake({.max_deliveries = 3});
  auto start = gsm ? KivGSMSoundRecorderStart : KivGSMWAVSoundRecorderStart;
  auto stop = gsm ? KivGSMSoundRecorderStop : KivGSMWAVSoundRecorderStop;
  ThePcmWaveRecorder()->header = {};
  if (previous) {
    EXPECT_EQ(start(Path16(dir.path("first.wav")).c_str()), KIV_OK);
    stop();
  }
  std::uint64_t before = fake.deliveries();
  EXPECT_EQ(start(Path16(dir.path("rec.wav")).c_str()), KIV_OK);
  EXPECT_TRUE(fake.WaitForDeliveries(before + 3));
  Bytes live = ReadFile(dir.path("rec.wav"));
  stop();
  return live;
}

Bytes Chunk(const char* id, const Bytes& body) {
  Bytes c(id, id + 4);
  for (int i = 0; i < 4; ++i) c.push_back(static_cast<unsigned char>(body.size() >> (8 * i)));
  c.insert(c.end(), body.begin(), body.end());
  if (body.size() % 2) c.push_back(0);
  return c;
}

Bytes Riff(const std::vector<Bytes>& chunks) {
  Bytes r = Chunk("RIFF", Bytes{'W', 'A', 'V', 'E'});
  for (const Bytes& c : chunks) r.insert(r.end(), c.begin(), c.end());
  std::uint32_t size = static_cast<std::uint32_t>(r.size() - 8);
  for (int i = 0; i < 4; ++i) r[4 + i] = static_cast<unsigned char>(size >> (8 * i));
  return r;
}

const Bytes kPcmFmt = {1, 0, 1, 0, 0x40, 0x1f, 0, 0, 0x80, 0x3e, 0, 0, 2, 0, 16, 0};
const Bytes kGsmFmt = {0x31, 0, 1, 0, 0x40, 0x1f, 0, 0, 0x59, 6, 0, 0, 65, 0, 0, 0, 2, 0, 0x40, 1};

Bytes GsmWith(std::size_t blocks, std::uint32_t samples, const std::vector<Bytes>& after) {
  std::vector<Bytes> chunks = {
      Chunk("fmt ", kGsmFmt),
      Chunk("fact", {static_cast<unsigned char>(samples), static_cast<unsigned char>(samples >> 8), 0, 0}),
      Chunk("data", Bytes(65 * blocks, 0x5a))};
  chunks.insert(chunks.end(), after.begin(), after.end());
  return Riff(chunks);
}

std::string Problems(const WaveInfo& info) {
  std::string out;
  for (const std::string& p : info.problems) out += p + "\n";
  return out;
}

}  // namespace kiv::test
