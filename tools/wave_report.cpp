// SPDX-License-Identifier: MIT
#include "wave_report.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>

#include "messages.h"

namespace kiv::tool {
namespace {

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

// A JSON string. A file name's bytes that are not UTF-8 (a Latin-1 name)
// appear as the text \xNN, so that the output stays valid JSON and still
// shows which bytes they were.
std::string JsonString(const std::string& s) {
  std::string out = "\"";
  char buf[8];
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    const std::size_t n = Utf8Length(s, i);
    if (n == 0) {
      std::snprintf(buf, sizeof buf, "\\\\x%02x", c);
      out += buf;
      ++i;
    } else if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
      ++i;
    } else if (c < 0x20) {
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
      ++i;
    } else {
      out.append(s, i, n);
      i += n;
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

std::string FormatErrorJson(const std::string& path, const std::string& error) {
  return "{\"file\": " + JsonString(path) + ", \"error\": " + JsonString(error) + "}\n";
}

std::string DescribeRepair(const RepairPlan& plan) {
  std::string out = plan.what + "\n";
  if (plan.action != RepairPlan::Action::kRepair) return out;
  char line[160];
  if (plan.cut_bytes > 0) {
    std::snprintf(line, sizeof line, "cut %llu trailing bytes (no whole block or sample of the audio)\n",
                  static_cast<unsigned long long>(plan.cut_bytes));
    out += line;
  }
  std::snprintf(line, sizeof line, "rewrite the header for a length of %llu bytes\n",
                static_cast<unsigned long long>(plan.new_length));
  out += line;
  return out;
}

}  // namespace kiv::tool
