#include "wave_info.h"

#include <cstdio>
#include <cstring>

#include "formats/little_endian.h"

namespace kiv::tool {
namespace {

constexpr std::uint32_t kPlaceholderSize = 2000000;
constexpr std::uint32_t kPlaceholderSamples = 2000160;

bool Tag(const unsigned char* p, const char* tag) { return std::memcmp(p, tag, 4) == 0; }

void ReadFormat(WaveInfo* w, const unsigned char* p, std::uint32_t size) {
  if (size < 16) {
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
  if (w->format_tag == 0x31 && size >= 20) w->samples_per_block = GetLe16(p + 18);
}

void Judge(WaveInfo* w) {
  if (!w->has_fmt) w->problems.push_back("no format chunk");
  if (!w->has_data) w->problems.push_back("no data chunk");
  if (w->kind == WaveKind::kGsm) {
    w->placeholders = w->riff_size == kPlaceholderSize && w->data_size == kPlaceholderSize &&
                      w->fact_samples == kPlaceholderSamples;
    if (w->placeholders) {
      w->unfinished = true;
      w->problems.push_back("header holds the provisional sizes: the file was never finished");
    }
    if (!w->has_fact) w->problems.push_back("no fact chunk");
    if (w->block_align != 65 || w->samples_per_block != 320 || w->sample_rate != 8000 || w->channels != 1)
      w->problems.push_back("format is not 8000 Hz mono GSM 06.10 in 65-byte blocks of 320 samples");
    std::uint64_t blocks = w->data_present / 65;
    w->seconds = static_cast<double>(blocks) * 320.0 / 8000.0;
    if (w->data_present % 65 != 0) w->problems.push_back("payload is not a whole number of 65-byte blocks");
    if (w->has_fact && !w->placeholders && w->fact_samples != blocks * 320)
      w->problems.push_back("sample count does not match the blocks present");
  } else if (w->kind == WaveKind::kPcm) {
    if (w->riff_size == 0 && w->data_size == 0 && !w->has_fmt) w->unfinished = true;
    if (w->channels != 0 && w->bits_per_sample != 0)
      w->seconds = static_cast<double>(w->data_present) / (w->channels * (w->bits_per_sample / 8)) /
                   (w->sample_rate ? w->sample_rate : 1);
  }
  if (w->has_data && w->data_size != w->data_present && !w->placeholders)
    w->problems.push_back("data size disagrees with the payload in the file");
  if (w->riff_size != w->file_size - 8 && !w->placeholders)
    w->problems.push_back("RIFF size disagrees with the file length");
  w->consistent = w->problems.empty();
}

}  // namespace

WaveInfo InspectWave(const unsigned char* p, std::size_t n, std::uint64_t file_size) {
  WaveInfo w;
  w.file_size = file_size;
  if (n > file_size) n = static_cast<std::size_t>(file_size);
  if (n < 12 || !Tag(p, "RIFF") || !Tag(p + 8, "WAVE")) {
    // A PCM recording that never stopped starts with 44 zero bytes.
    bool zero = n >= 44;
    for (std::size_t i = 0; zero && i < 44; ++i) zero = p[i] == 0;
    if (zero) {
      w.kind = WaveKind::kPcm;
      w.unfinished = true;
      w.data_offset = 44;
      w.data_present = file_size - 44;
      w.seconds = static_cast<double>(w.data_present) / 16000.0;
      w.problems.push_back("header is all zero: the recording was never stopped");
    } else {
      w.problems.push_back("not a RIFF/WAVE file");
    }
    return w;
  }
  w.riff_size = GetLe32(p + 4);
  std::uint64_t pos = 12;
  while (pos + 8 <= n) {
    const unsigned char* c = p + pos;
    std::uint32_t size = GetLe32(c + 4);
    std::uint64_t body = pos + 8;
    if (Tag(c, "data")) {
      w.has_data = true;
      w.data_offset = body;
      w.data_size = size;
      w.data_present = file_size > body ? file_size - body : 0;
      break;  // the payload runs to the end; nothing after it is read
    }
    std::uint64_t available = n > body ? n - body : 0;
    if (size > available) {
      w.problems.push_back("chunk runs past the end of the file");
      break;
    }
    if (Tag(c, "fmt ")) {
      ReadFormat(&w, c + 8, size);
    } else if (Tag(c, "fact") && size >= 4) {
      w.has_fact = true;
      w.fact_samples = GetLe32(c + 8);
    }
    pos = body + size + (size & 1u);
  }
  if (w.has_fmt) {
    w.kind = w.format_tag == 0x31 ? WaveKind::kGsm : w.format_tag == 1 ? WaveKind::kPcm : WaveKind::kOtherWave;
  } else {
    w.kind = WaveKind::kOtherWave;
  }
  Judge(&w);
  return w;
}

std::string FormatWaveInfo(const WaveInfo& w) {
  std::string out;
  char line[256];
  auto add = [&](const char* fmt, auto... args) {
    std::snprintf(line, sizeof line, fmt, args...);
    out += line;
    out += '\n';
  };
  const char* kind = w.kind == WaveKind::kGsm   ? "GSM 06.10 WAVE"
                     : w.kind == WaveKind::kPcm ? "PCM WAVE"
                     : w.kind == WaveKind::kOtherWave ? "WAVE of another format"
                                                      : "not a WAVE file";
  add("kind:              %s", kind);
  add("file size:         %llu bytes", static_cast<unsigned long long>(w.file_size));
  if (w.kind != WaveKind::kNotWave) add("RIFF size:         %u", w.riff_size);
  if (w.has_fmt) {
    add("format tag:        0x%04x", w.format_tag);
    add("channels:          %u", w.channels);
    add("sample rate:       %u Hz", w.sample_rate);
    add("bytes per second:  %u", w.bytes_per_second);
    add("block alignment:   %u", w.block_align);
    add("bits per sample:   %u", w.bits_per_sample);
    if (w.kind == WaveKind::kGsm) add("samples per block: %u", w.samples_per_block);
  }
  if (w.has_fact) add("sample count:      %u", w.fact_samples);
  if (w.has_data) {
    add("data offset:       %llu", static_cast<unsigned long long>(w.data_offset));
    add("data size:         %u (%llu bytes present)", w.data_size, static_cast<unsigned long long>(w.data_present));
  }
  add("length:            %.2f s", w.seconds);
  add("sizes agree:       %s", w.consistent ? "yes" : "no");
  if (w.unfinished) add("unfinished:        yes");
  for (const std::string& p : w.problems) add("problem:           %s", p.c_str());
  return out;
}

}  // namespace kiv::tool
