// SPDX-License-Identifier: MIT
#include "pipeline/wave_tail.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "little_endian.h"
#include "wave_format.h"

namespace kiv::tool {

bool JudgeStreamedTail(InputStream& in, WaveInfo* wave) {
  if (!wave->has_data || in.Tell() < 0) return false;
  const std::uint64_t data_end = wave->data_offset + wave->data_size;
  const std::uint64_t kept = in.head_size();
  // The walk reads a chunk header from the kept head, or from the stream
  // ahead of where the decoder left it; one among the bytes the decoder
  // read past the head is beyond knowing.
  auto at = static_cast<std::uint64_t>(in.Tell());
  auto reach = [&](std::uint64_t pos) {
    if (pos > at) at += in.Skip(pos - at);
    return at >= pos;
  };
  if (!reach(data_end)) {  // the data chunk is cut short: nothing follows it
    wave->data_fits = true;
    wave->chunks_after_data = false;
    return true;
  }
  bool chunks = true, any = false;
  std::uint64_t pos = data_end + (wave->data_size & 1u);  // a missing last pad byte is forgiven
  for (;;) {
    unsigned char header[kRiffChunkHeaderBytes];
    std::size_t got = 0;
    if (pos + sizeof header <= kept) {
      std::memcpy(header, in.head() + pos, sizeof header);
      got = sizeof header;
    } else if (pos >= at) {
      if (!reach(pos)) break;
      got = in.Read(header, sizeof header);
      at += got;
    } else {
      return false;
    }
    if (got == 0) break;
    if (got < sizeof header || !PlausibleChunkId(header)) {
      chunks = false;
      break;
    }
    const std::uint64_t body_end = pos + sizeof header + GetLe32(header + 4);
    if (body_end > at && !reach(body_end)) {
      chunks = false;
      break;
    }
    any = true;
    pos = body_end + (body_end - pos) % 2;
  }
  at += in.Skip(UINT64_MAX);
  if (in.failed()) return false;  // what was not read cannot be judged
  wave->data_fits = chunks;
  wave->chunks_after_data = chunks && any;
  wave->data_present = chunks ? wave->data_size : at - wave->data_offset;
  return true;
}

}  // namespace kiv::tool
