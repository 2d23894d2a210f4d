// SPDX-License-Identifier: MIT
// Checks recordings made elsewhere (the Windows build under Wine) against
// the audio that was played to them, with the same measures as the native
// recording tests.
//
//   recording_check signal OUT.raw SECONDS     the known speech to play
//   recording_check pcm PLAYED.raw FILE.wav    payload is one exact stretch
//   recording_check gsm PLAYED.raw FILE.wav    blocks encode one stretch
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/pulse/pulse_server.h"
#include "support/test_files.h"

using namespace kiv::test;

int main(int argc, char** argv) {
  if (argc != 4) return 64;
  std::string what = argv[1];
  if (what == "signal") {
    WriteFile(argv[2], ToBytes(PlayableSpeech(std::atof(argv[3]))));
    return 0;
  }
  std::vector<std::int16_t> played = ToSamples(ReadFile(argv[2]));
  Bytes file = ReadFile(argv[3]);
  if (what == "pcm") {
    if (file.size() <= 44) return std::puts("PCM: no audio"), 1;
    long at = FindRecorded(played, ToSamples(Bytes(file.begin() + 44, file.end())));
    std::printf("PCM: %zu samples, %s\n", (file.size() - 44) / 2,
                at >= 0 ? ("one exact stretch of the played audio at " + std::to_string(at)).c_str()
                        : "NOT a stretch of the played audio");
    return at >= 0 ? 0 : 1;
  }
  if (what == "gsm") {
    std::size_t blocks = file.size() >= 60 ? (file.size() - 60) / 65 : 0;
    std::size_t deliveries = blocks * 2 / 25;
    std::string why;
    bool ok = GsmIsAStretchOf(played, file, deliveries * 4000, &why);
    std::printf("GSM: %zu blocks, %s\n", blocks, ok ? "the encoding of one stretch of the played audio" : why.c_str());
    return ok ? 0 : 1;
  }
  return 64;
}
