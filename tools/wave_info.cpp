#include "wave_info.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "formats/little_endian.h"

namespace kiv::tool {
namespace {

constexpr std::uint32_t kPlaceholderSize = 2000000;
constexpr std::uint32_t kPlaceholderSamples = 2000160;

bool Tag(const unsigned char* p, const char* tag) { return std::memcmp(p, tag, 4) == 0; }

// A chunk id as RIFF writers use them: four printable ASCII characters.
bool PlausibleId(const unsigned char* p) {
  for (int i = 0; i < 4; ++i)
    if (p[i] < 0x20 || p[i] > 0x7e) return false;
  return true;
}

void ReadFormat(WaveInfo* w, const ByteSource& f, std::uint64_t body, std::uint32_t size) {
  unsigned char p[20] = {};
  if (size < 16 || !f.Read(body, p, size >= 20 ? 20 : 16)) {
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
  if (w->format_tag == 0x31 && size >= 20) w->samples_per_block = GetLe16(p + 18);
}

// After a data chunk that fits: true if the rest of the file is a
// well-formed list of chunks, each of a plausible id and fitting.
bool WellFormedTail(const ByteSource& f, std::uint64_t pos, bool* any) {
  *any = false;
  for (;;) {
    if (pos >= f.size()) return true;  // includes a missing final pad byte
    unsigned char h[8];
    if (!f.Read(pos, h, 8) || !PlausibleId(h)) return false;
    std::uint64_t size = GetLe32(h + 4);
    if (size > f.size() - pos - 8) return false;
    *any = true;
    pos += 8 + size + (size & 1u);
  }
}

void Judge(WaveInfo* w) {
  auto damage = [w](const char* problem) {
    w->damaged = true;
    w->problems.push_back(problem);
  };
  if (!w->has_fmt) damage("no format chunk");
  if (!w->has_data) damage("no data chunk");
  if (w->kind == WaveKind::kGsm) {
    w->placeholders = w->riff_size == kPlaceholderSize && w->data_size == kPlaceholderSize &&
                      w->fact_samples == kPlaceholderSamples;
    if (w->placeholders) {
      w->unfinished = true;
      w->problems.push_back("header holds the provisional sizes: the file was never finished");
    }
    if (!w->has_fact) damage("no fact chunk");
    if (w->block_align != 65 || w->samples_per_block != 320 || w->sample_rate != 8000 || w->channels != 1)
      damage("format is not 8000 Hz mono GSM 06.10 in 65-byte blocks of 320 samples");
    // Some writers count a pad byte after an odd number of blocks in the
    // data size; it is no part of the payload.
    std::uint64_t payload = w->data_present;
    if (w->data_fits && payload % 65 == 1 && payload % 2 == 0) --payload;
    std::uint64_t blocks = payload / 65;
    w->seconds = static_cast<double>(blocks) * 320.0 / 8000.0;
    if (payload % 65 != 0) w->problems.push_back("payload is not a whole number of 65-byte blocks");
    // The sample count may leave out the padding of the last block.
    bool count_ok = blocks == 0 ? w->fact_samples == 0
                                : w->fact_samples <= blocks * 320 && w->fact_samples > (blocks - 1) * 320;
    if (w->has_fact && !w->placeholders && !count_ok)
      w->problems.push_back("sample count does not match the blocks present");
  } else if (w->kind == WaveKind::kPcm) {
    unsigned frame = w->block_align != 0 ? w->block_align : w->channels * (w->bits_per_sample / 8u);
    if (frame == 0 || w->sample_rate == 0) {
      damage("format gives no frame size or sample rate");
    } else {
      w->seconds = static_cast<double>(w->data_present / frame) / w->sample_rate;
      if (w->data_present % frame != 0) w->problems.push_back("payload is not a whole number of sample frames");
    }
  }
  if (w->has_data && !w->data_fits && !w->placeholders) {
    w->problems.push_back(w->data_size > w->data_present ? "data size disagrees with the payload in the file"
                                                          : "bytes after the data chunk are not chunks");
  }
  if (w->riff_size != w->file_size - 8 && !w->placeholders)
    w->problems.push_back("RIFF size disagrees with the file length");
  w->consistent = w->problems.empty();
}

#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
void AppendLine(std::string* out, const char* fmt, ...) {
  char line[256];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(line, sizeof line, fmt, args);
  va_end(args);
  *out += line;
  *out += '\n';
}

}  // namespace

WaveInfo InspectWave(const ByteSource& f) {
  WaveInfo w;
  w.file_size = f.size();
  unsigned char head[44];
  if (!f.Read(0, head, 12) || !Tag(head, "RIFF") || !Tag(head + 8, "WAVE")) {
    // A PCM recording that never stopped starts with 44 zero bytes.
    bool zero = f.Read(0, head, 44);
    for (std::size_t i = 0; zero && i < 44; ++i) zero = head[i] == 0;
    if (zero) {
      w.kind = WaveKind::kPcm;
      w.zero_header = true;
      w.unfinished = true;
      w.data_offset = 44;
      w.data_present = f.size() - 44;
      w.seconds = static_cast<double>(w.data_present / 2) / 8000.0;
      w.problems.push_back("header is all zero: the recording was never stopped");
    } else {
      w.problems.push_back("not a RIFF/WAVE file");
    }
    return w;
  }
  w.riff_size = GetLe32(head + 4);
  std::uint64_t pos = 12;
  unsigned char c[8];
  while (f.Read(pos, c, 8)) {
    std::uint32_t size = GetLe32(c + 4);
    std::uint64_t body = pos + 8;
    std::uint64_t available = f.size() - body;
    if (Tag(c, "data")) {
      w.has_data = true;
      w.data_offset = body;
      w.data_size = size;
      bool any = false;
      w.data_fits = size <= available && WellFormedTail(f, body + size + (size & 1u), &any);
      w.chunks_after_data = w.data_fits && any;
      // Unless the stated size fits, the payload runs to the end of the file.
      w.data_present = w.data_fits ? size : available;
      if (w.data_fits) {
        // Read what follows (chunks of any kind may trail the audio).
        pos = body + size + (size & 1u);
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
    } else if (Tag(c, "fact") && size >= 4 && !w.has_fact && !w.has_data) {
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
    w.kind = w.format_tag == 0x31 ? WaveKind::kGsm : w.format_tag == 1 ? WaveKind::kPcm : WaveKind::kOtherWave;
  } else {
    w.kind = WaveKind::kOtherWave;
  }
  Judge(&w);
  return w;
}

std::string FormatWaveInfo(const WaveInfo& w) {
  std::string out;
  const char* kind = w.kind == WaveKind::kGsm   ? "GSM 06.10 WAVE"
                     : w.kind == WaveKind::kPcm ? "PCM WAVE"
                     : w.kind == WaveKind::kOtherWave ? "WAVE of another format"
                                                      : "not a WAVE file";
  AppendLine(&out, "kind:              %s", kind);
  AppendLine(&out, "file size:         %llu bytes", static_cast<unsigned long long>(w.file_size));
  if (w.kind != WaveKind::kNotWave) AppendLine(&out, "RIFF size:         %u", w.riff_size);
  if (w.has_fmt) {
    AppendLine(&out, "format tag:        0x%04x", w.format_tag);
    AppendLine(&out, "channels:          %u", w.channels);
    AppendLine(&out, "sample rate:       %u Hz", w.sample_rate);
    AppendLine(&out, "bytes per second:  %u", w.bytes_per_second);
    AppendLine(&out, "block alignment:   %u", w.block_align);
    AppendLine(&out, "bits per sample:   %u", w.bits_per_sample);
    if (w.kind == WaveKind::kGsm) AppendLine(&out, "samples per block: %u", w.samples_per_block);
  }
  if (w.has_fact) AppendLine(&out, "sample count:      %u", w.fact_samples);
  if (w.has_data) {
    AppendLine(&out, "data offset:       %llu", static_cast<unsigned long long>(w.data_offset));
    AppendLine(&out, "data size:         %u (%llu bytes present)", w.data_size, static_cast<unsigned long long>(w.data_present));
  }
  AppendLine(&out, "length:            %.2f s", w.seconds);
  AppendLine(&out, "sizes agree:       %s", w.consistent ? "yes" : "no");
  if (w.unfinished) AppendLine(&out, "unfinished:        yes");
  for (const std::string& p : w.problems) AppendLine(&out, "problem:           %s", p.c_str());
  return out;
}

namespace {

std::string JsonString(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

}  // namespace

std::string FormatWaveInfoJson(const WaveInfo& w) {
  const char* kind = w.kind == WaveKind::kGsm         ? "gsm"
                     : w.kind == WaveKind::kPcm       ? "pcm"
                     : w.kind == WaveKind::kOtherWave ? "other"
                                                      : "none";
  std::string out = "{";
  auto field = [&](const char* name, const std::string& value) {
    if (out.size() > 1) out += ", ";
    out += JsonString(name) + ": " + value;
  };
  auto number = [](unsigned long long v) { return std::to_string(v); };
  auto boolean = [](bool b) { return std::string(b ? "true" : "false"); };
  field("kind", JsonString(kind));
  field("file_size", number(w.file_size));
  if (w.kind != WaveKind::kNotWave) field("riff_size", number(w.riff_size));
  if (w.has_fmt) {
    field("format_tag", number(w.format_tag));
    field("channels", number(w.channels));
    field("sample_rate", number(w.sample_rate));
    field("bytes_per_second", number(w.bytes_per_second));
    field("block_align", number(w.block_align));
    field("bits_per_sample", number(w.bits_per_sample));
    if (w.kind == WaveKind::kGsm) field("samples_per_block", number(w.samples_per_block));
  }
  if (w.has_fact) field("sample_count", number(w.fact_samples));
  if (w.has_data) {
    field("data_offset", number(w.data_offset));
    field("data_size", number(w.data_size));
    field("data_present", number(w.data_present));
  }
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.3f", w.seconds);
  field("seconds", seconds);
  field("consistent", boolean(w.consistent));
  field("unfinished", boolean(w.unfinished));
  std::string problems = "[";
  for (const std::string& p : w.problems) problems += (problems.size() > 1 ? ", " : "") + JsonString(p);
  field("problems", problems + "]");
  return out + "}\n";
}

}  // namespace kiv::tool
