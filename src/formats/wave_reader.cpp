// SPDX-License-Identifier: MIT
#include "formats/wave_reader.h"

#include <cstdio>
#include <cstring>

#include "formats/little_endian.h"
#include "formats/wave_format.h"

namespace kiv {
namespace {

bool Tag(const unsigned char* p, const char* tag) { return std::memcmp(p, tag, 4) == 0; }


void ReadFormat(WaveInfo* w, const ByteSource& f, std::uint64_t body, std::uint32_t size) {
  unsigned char p[kGsmFormatChunkBytes] = {};
  if (size < kPcmFormatChunkBytes ||
      !f.Read(body, p, size >= kGsmFormatChunkBytes ? kGsmFormatChunkBytes : kPcmFormatChunkBytes)) {
    w->damaged = true;
    w->problems.push_back("format chunk shorter than 16 bytes");
    return;
  }
  w->has_fmt = true;
  w->format_tag = GetLe16(p);
  w->channels = GetLe16(p + 2);
  w->sample_rate = GetLe32(p + 4);
  w->bytes_per_second = GetLe32(p + 8);
  w->block_align = GetLe16(p + 12);
  w->bits_per_sample = GetLe16(p + 14);
  if (w->format_tag == kWaveFormatGsm610 && size >= kGsmFormatChunkBytes) w->samples_per_block = GetLe16(p + 18);
}

// After a data chunk that fits: true if the rest of the file is a
// well-formed list of chunks, each of a plausible id and fitting.
bool WellFormedTail(const ByteSource& f, std::uint64_t pos, bool* any) {
  *any = false;
  for (;;) {
    if (pos >= f.size()) return true;  // includes a missing final pad byte
    unsigned char h[kRiffChunkHeaderBytes];
    if (!f.Read(pos, h, sizeof h) || !PlausibleChunkId(h)) return false;
    std::uint64_t size = GetLe32(h + 4);
    if (size > f.size() - pos - sizeof h) return false;
    *any = true;
    pos += sizeof h + size + (size & 1u);
  }
}

void JudgeGsm(WaveInfo* w) {
  w->placeholders = w->riff_size == kPlaceholderSizeValue && w->data_size == kPlaceholderSizeValue &&
                    w->fact_samples == kPlaceholderSampleCount;
  if (w->placeholders) {
    w->unfinished = true;
    w->problems.push_back("header holds the provisional sizes: the file was never finished");
  }
  if (!w->has_fact) {
    w->damaged = true;
    w->problems.push_back("no fact chunk");
  }
  w->format_ok = w->block_align == kGsmBlockBytes && w->samples_per_block == kGsmSamplesPerBlock &&
                 w->sample_rate == kSampleRate && w->channels == kChannels;
  if (!w->format_ok) {
    w->damaged = true;
    w->problems.push_back("format is not 8000 Hz mono GSM 06.10 in 65-byte blocks of 320 samples");
    return;
  }
  w->frame_bytes = kGsmBlockBytes;
  // Some writers count a pad byte after an odd number of blocks in the
  // data size; it is no part of the payload.
  std::uint64_t payload = w->data_present;
  if (w->data_fits && payload % kGsmBlockBytes == 1 && payload % 2 == 0) --payload;
  w->frames = payload / kGsmBlockBytes;
  w->seconds = static_cast<double>(w->frames) * kGsmSamplesPerBlock / kSampleRate;
  if (payload % kGsmBlockBytes != 0) w->problems.push_back("payload is not a whole number of 65-byte blocks");
  // The sample count may leave out the padding of the last block.
  std::uint64_t most = w->frames * kGsmSamplesPerBlock;
  w->count_agrees = w->has_fact && (w->frames == 0 ? w->fact_samples == 0
                                                   : w->fact_samples <= most &&
                                                         w->fact_samples > most - kGsmSamplesPerBlock);
  if (w->has_fact && !w->placeholders && !w->count_agrees)
    w->problems.push_back("sample count does not match the blocks present");
}

void JudgePcm(WaveInfo* w) {
  unsigned frame = w->channels * ((w->bits_per_sample + 7u) / 8u);
  if (frame == 0 || w->sample_rate == 0) {
    w->damaged = true;
    w->problems.push_back("format gives no frame size or sample rate");
    return;
  }
  if (w->block_align != frame) {
    char why[128];
    std::snprintf(why, sizeof why, "block alignment %u does not match %u-byte frames (%u channels of %u bits)",
                  static_cast<unsigned>(w->block_align), frame, static_cast<unsigned>(w->channels),
                  static_cast<unsigned>(w->bits_per_sample));
    w->damaged = true;
    w->problems.push_back(why);
    return;
  }
  if (std::uint64_t{w->sample_rate} * frame != w->bytes_per_second) {
    char why[128];
    std::snprintf(why, sizeof why, "byte rate %u does not match %u Hz of %u-byte frames", w->bytes_per_second,
                  w->sample_rate, frame);
    w->damaged = true;
    w->problems.push_back(why);
    return;
  }
  w->format_ok = true;
  w->frame_bytes = frame;
  w->frames = w->data_present / frame;
  w->seconds = static_cast<double>(w->frames) / w->sample_rate;
  if (w->data_present % frame != 0) w->problems.push_back("payload is not a whole number of sample frames");
}

void Judge(WaveInfo* w) {
  if (!w->has_fmt) {
    w->damaged = true;
    w->problems.push_back("no format chunk");
  }
  if (!w->has_data) {
    w->damaged = true;
    w->problems.push_back("no data chunk");
  }
  if (w->kind == WaveKind::kGsm) JudgeGsm(w);
  if (w->kind == WaveKind::kPcm) JudgePcm(w);
  // Another format is not checked further; its length is what the byte
  // rate of its header makes of the audio present.
  if (w->kind == WaveKind::kOtherWave && w->bytes_per_second > 0)
    w->seconds = static_cast<double>(w->data_present) / w->bytes_per_second;
  if (w->has_data && !w->data_fits && !w->placeholders) {
    w->problems.push_back(w->data_size > w->data_present ? "data size disagrees with the payload in the file"
                                                          : "bytes after the data chunk are not chunks");
  }
  if (w->riff_size != w->file_size - kRiffChunkHeaderBytes && !w->placeholders)
    w->problems.push_back("RIFF size disagrees with the file length");
  w->consistent = w->problems.empty();
}

}  // namespace

WaveInfo InspectWave(const ByteSource& f) {
  WaveInfo w;
  w.file_size = f.size();
  unsigned char head[kPcmHeaderBytes];
  if (!f.Read(0, head, 12) || !Tag(head, "RIFF") || !Tag(head + 8, "WAVE")) {
    // A PCM recording that never stopped starts with an all-zero header.
    bool zero = f.Read(0, head, kPcmHeaderBytes);
    for (std::size_t i = 0; zero && i < kPcmHeaderBytes; ++i) zero = head[i] == 0;
    if (zero) {
      w.kind = WaveKind::kPcm;
      w.zero_header = true;
      w.unfinished = true;
      w.format_ok = true;
      w.data_offset = kPcmHeaderBytes;
      w.data_present = f.size() - kPcmHeaderBytes;
      w.frame_bytes = kBytesPerSample;
      w.frames = w.data_present / kBytesPerSample;
      w.seconds = static_cast<double>(w.frames) / kSampleRate;
      w.problems.push_back("header is all zero: the recording was never stopped");
    } else {
      w.problems.push_back("not a RIFF/WAVE file");
    }
    return w;
  }
  w.riff_size = GetLe32(head + 4);
  std::uint64_t pos = 12;
  unsigned char c[kRiffChunkHeaderBytes];
  while (f.Read(pos, c, sizeof c)) {
    std::uint32_t size = GetLe32(c + 4);
    std::uint64_t body = pos + sizeof c;
    std::uint64_t available = f.size() - body;
    if (Tag(c, "data")) {
      w.has_data = true;
      w.data_offset = body;
      w.data_size = size;
      std::uint64_t end = body + size + (size & 1u);
      bool any = false;
      bool tail = size <= available && WellFormedTail(f, end, &any);
      // In a GSM file, a RIFF size that ends with the data chunk vouches for
      // the data size: bytes after it are no part of the WAVE (a tag that
      // another program appended), not audio. A GSM recording in progress
      // carries provisional sizes, never these. A PCM recording's header
      // may be a stale one that fits an earlier length, so there the audio
      // still runs to the end of the file. An odd-sized data chunk may end
      // the RIFF chunk with its pad byte or without (as written here).
      const std::uint64_t riff_end = std::uint64_t{w.riff_size} + kRiffChunkHeaderBytes;
      bool riff_ends_here = size <= available && w.has_fmt && w.format_tag == kWaveFormatGsm610 &&
                            (riff_end == end || riff_end == body + size);
      w.data_fits = tail || riff_ends_here;
      w.chunks_after_data = tail && any;
      // Unless the stated size fits, the payload runs to the end of the file.
      w.data_present = w.data_fits ? size : available;
      if (tail) {
        // Read what follows (chunks of any kind may trail the audio).
        pos = end;
        continue;
      }
      break;
    }
    if (size > available) {
      w.damaged = true;
      w.problems.push_back("chunk runs past the end of the file");
      break;
    }
    if (Tag(c, "fmt ") && !w.has_fmt) {
      ReadFormat(&w, f, body, size);
    } else if (Tag(c, "fact") && size >= kGsmFactChunkBytes && !w.has_fact && !w.has_data) {
      unsigned char n[4];
      if (f.Read(body, n, 4)) {
        w.has_fact = true;
        w.fact_offset = body;
        w.fact_samples = GetLe32(n);
      }
    }
    pos = body + size + (size & 1u);
  }
  if (w.has_fmt) {
    w.kind = w.format_tag == kWaveFormatGsm610 ? WaveKind::kGsm
             : w.format_tag == kWaveFormatPcm  ? WaveKind::kPcm
                                               : WaveKind::kOtherWave;
  } else {
    w.kind = WaveKind::kOtherWave;
  }
  Judge(&w);
  return w;
}

bool PlausibleChunkId(const unsigned char* id) {
  for (int i = 0; i < 4; ++i)
    if (id[i] < 0x20 || id[i] > 0x7e) return false;
  return true;
}

std::uint64_t GsmSamplesToDecode(const WaveInfo& w) {
  std::uint64_t all = w.frames * kGsmSamplesPerBlock;
  return !w.unfinished && w.count_agrees ? w.fact_samples : all;
}

std::string DescribeFormat(const WaveInfo& w) {
  if (!w.has_fmt) return "no format chunk";
  char text[160];
  if (w.kind == WaveKind::kGsm) {
    std::snprintf(text, sizeof text, "GSM 06.10 at %u Hz, %u channel%s, %u-byte blocks of %u samples",
                  w.sample_rate, static_cast<unsigned>(w.channels), w.channels == 1 ? "" : "s",
                  static_cast<unsigned>(w.block_align), static_cast<unsigned>(w.samples_per_block));
  } else {
    std::snprintf(text, sizeof text, "format 0x%04x at %u Hz, %u channel%s, %u bits per sample",
                  static_cast<unsigned>(w.format_tag), w.sample_rate, static_cast<unsigned>(w.channels),
                  w.channels == 1 ? "" : "s", static_cast<unsigned>(w.bits_per_sample));
  }
  return text;
}

}  // namespace kiv
