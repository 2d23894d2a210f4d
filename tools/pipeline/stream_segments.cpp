// SPDX-License-Identifier: MIT
#include "pipeline/stream_segments.h"

#include <cstring>

namespace kiv::tool {
namespace {

constexpr unsigned char kBeginOfStream = 0x02;  // Ogg page header type flag

// The length of the MPEG audio frame whose 4-byte header is `h`, or 0 when
// `h` is no frame header.
std::uint32_t MpegFrameLength(const unsigned char* h) {
  if (h[0] != 0xff || (h[1] & 0xe0) != 0xe0) return 0;
  const int version = (h[1] >> 3) & 3;  // 0: 2.5, 2: 2, 3: 1
  const int layer = (h[1] >> 1) & 3;    // 1: III, 2: II, 3: I
  const int bitrate_index = h[2] >> 4, rate_index = (h[2] >> 2) & 3, padding = (h[2] >> 1) & 1;
  if (version == 1 || layer == 0 || bitrate_index == 0 || bitrate_index == 15 || rate_index == 3) return 0;
  static const int kBitrates[5][15] = {
      {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},  // MPEG-1 layer I
      {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},     // MPEG-1 layer II
      {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},      // MPEG-1 layer III
      {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},     // MPEG-2/2.5 layer I
      {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},          // MPEG-2/2.5 layers II, III
  };
  static const int kRates[4][3] = {{11025, 12000, 8000}, {0, 0, 0}, {22050, 24000, 16000}, {44100, 48000, 32000}};
  const bool mpeg1 = version == 3;
  const int row = mpeg1 ? 3 - layer : (layer == 3 ? 3 : 4);
  const int bitrate = kBitrates[row][bitrate_index] * 1000, rate = kRates[version][rate_index];
  if (layer == 3) return static_cast<std::uint32_t>((12 * bitrate / rate + padding) * 4);
  if (layer == 1 && !mpeg1) return static_cast<std::uint32_t>(72 * bitrate / rate + padding);
  return static_cast<std::uint32_t>(144 * bitrate / rate + padding);
}

// The size of an ID3v2 tag whose 10-byte header is `h` (with its footer).
std::uint64_t Id3Size(const unsigned char* h) {
  std::uint64_t size = (std::uint64_t{h[6] & 0x7fu} << 21) | ((h[7] & 0x7fu) << 14) | ((h[8] & 0x7fu) << 7) |
                       (h[9] & 0x7fu);
  return 10 + size + ((h[5] & 0x10) ? 10 : 0);
}

// A Xing or Info frame: a frame that describes the stream that follows it
// instead of holding audio.
bool IsInfoFrame(const ByteSource& f, std::uint64_t pos, std::uint32_t length) {
  unsigned char frame[48] = {};
  std::size_t n = length < sizeof frame ? length : sizeof frame;
  if (!f.Read(pos, frame, n)) return false;
  for (std::size_t i = 4; i + 4 <= n; ++i)
    if (std::memcmp(frame + i, "Xing", 4) == 0 || std::memcmp(frame + i, "Info", 4) == 0) return true;
  return false;
}

// The next offset from `pos` (within 64 KiB) where a frame header is
// followed by another right after its frame; 0 when there is none.
std::uint64_t Resync(const ByteSource& f, std::uint64_t pos) {
  for (std::uint64_t end = pos + 65536; pos < end; ++pos) {
    unsigned char h[4];
    if (!f.Read(pos, h, 4)) return 0;
    std::uint32_t length = MpegFrameLength(h);
    if (length < 4 || !f.Read(pos + length, h, 4)) continue;
    if (MpegFrameLength(h) >= 4) return pos;
  }
  return 0;
}

}  // namespace

StreamSegments OggSegments(const ByteSource& f) {
  StreamSegments s{{0}, 0};
  bool previous_began = false;
  for (std::uint64_t pos = 0;;) {
    unsigned char h[27];
    if (!f.Read(pos, h, sizeof h) || std::memcmp(h, "OggS", 4) != 0 || h[4] != 0) break;
    unsigned char lacing[255];
    if (!f.Read(pos + sizeof h, lacing, h[26])) break;
    std::uint64_t length = sizeof h + h[26];
    for (int i = 0; i < h[26]; ++i) length += lacing[i];
    if (pos + length > f.size()) break;
    // A link begins where a beginning-of-stream page follows other pages
    // (several in a row start one link of multiplexed streams).
    const bool begins = (h[5] & kBeginOfStream) != 0;
    if (begins && pos > 0 && !previous_began) s.starts.push_back(pos);
    previous_began = begins;
    pos += length;
    s.end = pos;
  }
  return s;
}

bool StartsWithMpegFrames(const ByteSource& f) {
  unsigned char h[4];
  if (!f.Read(0, h, 4)) return false;
  std::uint32_t length = MpegFrameLength(h);
  if (length < 4) return false;
  if (length >= f.size()) return length == f.size();
  return f.Read(length, h, 4) && MpegFrameLength(h) >= 4;
}

StreamSegments MpegSegments(const ByteSource& f) {
  StreamSegments s{{0}, 0};
  std::uint64_t audio_frames = 0;  // in the current segment
  for (std::uint64_t pos = 0;;) {
    unsigned char h[10];
    if (!f.Read(pos, h, 4)) break;
    if (std::memcmp(h, "TAG", 3) == 0 && pos + 128 <= f.size()) {  // ID3v1, at a file's end
      pos += 128;
      s.end = pos;
      continue;
    }
    if (std::memcmp(h, "ID3", 3) == 0 && f.Read(pos, h, 10)) {
      if (audio_frames > 0) {
        s.starts.push_back(pos);
        audio_frames = 0;
      }
      pos += Id3Size(h);
      if (pos > f.size()) break;
      s.end = pos;
      continue;
    }
    std::uint32_t length = MpegFrameLength(h);
    if (length < 4 || pos + length > f.size()) {
      // Junk between frames: go on at the next place where two frames
      // follow each other, if there is one near.
      std::uint64_t next = Resync(f, pos + 1);
      if (next == 0) break;
      pos = next;
      continue;
    }
    if (IsInfoFrame(f, pos, length)) {
      if (audio_frames > 0) {
        s.starts.push_back(pos);
        audio_frames = 0;
      }
    } else {
      ++audio_frames;
    }
    pos += length;
    s.end = pos;
  }
  return s;
}

}  // namespace kiv::tool
