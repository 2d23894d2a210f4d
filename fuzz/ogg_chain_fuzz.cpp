// SPDX-License-Identifier: MIT
// Fuzz target for the tool's Ogg page walk: whatever the bytes, a chain is
// cut into links and handed to libvorbisfile and libopusfile without a
// crash, an over-read or a hang; every block of samples has a channel count
// and a rate; no more links are counted than there are page captures; a
// failure always says why.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

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
    char name[] = "/tmp/ogg_chain_fuzz.XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0) std::abort();
    close(fd);
    std::atexit([] { std::remove(InputPath().c_str()); });
    return std::string(name);
  }();
  return path;
}

std::uint64_t Captures(const std::uint8_t* data, std::size_t size) {
  std::uint64_t n = 0;
  for (std::size_t i = 0; i + 4 <= size; ++i) n += std::memcmp(data + i, "OggS", 4) == 0;
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::FILE* f = std::fopen(InputPath().c_str(), "wb");
  if (f == nullptr || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0) std::abort();
  std::string why;
  std::unique_ptr<kiv::tool::InputStream> in = kiv::tool::InputStream::Open(InputPath(), &why);
  if (!in) std::abort();
  CheckingSink sink;
  const kiv::tool::DecodeResult r = kiv::tool::DecodeOgg(*in, sink);
  if (r.code != 0 && r.code != 5) __builtin_trap();
  if (r.code == 5 && r.error.empty()) __builtin_trap();
  if (r.code == 0 && r.format.empty()) __builtin_trap();
  if (r.streams > Captures(data, size)) __builtin_trap();
  return 0;
}
