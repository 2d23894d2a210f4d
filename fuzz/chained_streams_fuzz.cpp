// SPDX-License-Identifier: MIT
// Fuzz target for the tool's walks through chained streams: whatever the
// bytes, an Ogg chain is cut into links and handed to libvorbisfile and
// libopusfile, and FLAC streams joined one after another each to a libFLAC
// decoder of its own, without a crash, an over-read or a hang; every block
// of samples has a channel count and a rate; no more streams are counted
// than there are signatures; a failure always says why.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "pipeline/flac_decoder.h"
#include "pipeline/input_stream.h"
#include "pipeline/ogg_decoder.h"

namespace {

class CheckingSink : public kiv::tool::SampleSink {
 public:
  bool PushFloat(const float*, std::size_t count, int channels, int rate) override {
    if (count == 0 || channels < 1 || channels > 255 || rate < 1) __builtin_trap();
    return true;
  }
  bool PushShort(const std::int16_t*, std::size_t, int, int) override { __builtin_trap(); }
};

// The input goes through a file, as a named input does: one per process.
const std::string& InputPath() {
  static const std::string path = [] {
    char name[] = "/tmp/chained_streams_fuzz.XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0) std::abort();
    close(fd);
    std::atexit([] { std::remove(InputPath().c_str()); });
    return std::string(name);
  }();
  return path;
}

std::uint64_t Count(const std::uint8_t* data, std::size_t size, const char* signature) {
  std::uint64_t n = 0;
  for (std::size_t i = 0; i + 4 <= size; ++i) n += std::memcmp(data + i, signature, 4) == 0;
  return n;
}

void Check(const kiv::tool::DecodeResult& r, std::uint64_t most_streams) {
  if (r.code != 0 && r.code != 5) __builtin_trap();
  if (r.code == 5 && r.error.empty()) __builtin_trap();
  if (r.code == 0 && r.format.empty()) __builtin_trap();
  if (r.streams > most_streams) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::FILE* f = std::fopen(InputPath().c_str(), "wb");
  if (f == nullptr || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0) std::abort();
  std::string why;
  std::unique_ptr<kiv::tool::InputStream> in = kiv::tool::InputStream::Open(InputPath(), &why);
  if (!in) std::abort();
  CheckingSink sink;
  Check(kiv::tool::DecodeOgg(*in, sink), Count(data, size, "OggS"));
#if defined(KIV_HAVE_FLAC)
  // Every stream but the first starts at a signature.
  Check(kiv::tool::DecodeFlac(*in, sink), Count(data, size, "fLaC") + 1);
#endif
  return 0;
}
