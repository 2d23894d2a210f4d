#include "wave_repair.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "formats/little_endian.h"
#include "utf8_path.h"
#include "wave_info.h"

namespace kiv::tool {
namespace {

constexpr std::uint64_t kMaxRiffFile = 0xFFFFFFFFull + 8;

RepairPlan Refuse(std::string why) {
  RepairPlan p;
  p.action = RepairPlan::Action::kRefuse;
  p.what = std::move(why);
  return p;
}

void PatchU32(RepairPlan* p, std::uint64_t offset, std::uint32_t value) {
  RepairPlan::Patch patch{offset, std::vector<unsigned char>(4)};
  PutLe32(patch.bytes.data(), value);
  p->patches.push_back(std::move(patch));
}

// The canonical header of the library's PCM recordings.
std::vector<unsigned char> PcmHeader(std::uint32_t data_bytes) {
  std::vector<unsigned char> h = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ',
                                  16,  0,   0,   0,   1, 0, 1, 0, 0x40, 0x1f, 0, 0, 0x80, 0x3e, 0, 0,
                                  2,   0,   16,  0,   'd', 'a', 't', 'a', 0, 0, 0, 0};
  PutLe32(h.data() + 4, data_bytes + 36);
  PutLe32(h.data() + 40, data_bytes);
  return h;
}

}  // namespace

RepairPlan PlanRepair(const ByteSource& file) {
  WaveInfo w = InspectWave(file);
  if (w.kind == WaveKind::kNotWave) return Refuse("not a WAVE file, nor a PCM recording's unfinished header");
  if (w.kind == WaveKind::kOtherWave) {
    return Refuse(w.has_fmt ? "a WAVE format that kivgsm does not write"
                            : "the header is cut off or damaged: no format chunk");
  }
  if (w.consistent) {
    RepairPlan p;
    p.action = RepairPlan::Action::kNothing;
    p.what = "the file is valid; nothing to do";
    return p;
  }
  if (file.size() > kMaxRiffFile) return Refuse("the file is larger than a WAVE file can describe");
  if (w.zero_header) {
    // The library writes only 8000 Hz mono 16-bit PCM, so that is what
    // follows an all-zero header.
    RepairPlan p;
    p.action = RepairPlan::Action::kRepair;
    p.what = "a PCM recording that was never stopped (8000 Hz mono 16-bit, all-zero header)";
    std::uint64_t payload = w.data_present & ~std::uint64_t{1};
    p.new_length = 44 + payload;
    p.cut_bytes = file.size() - p.new_length;
    p.patches.push_back({0, PcmHeader(static_cast<std::uint32_t>(payload))});
    return p;
  }
  if (!w.has_data) return Refuse("the header is cut off or damaged: no data chunk");
  if (w.damaged) return Refuse("the header is damaged: " + w.problems.front());

  // The audio runs to the end of the file unless the data chunk's size fits
  // and only well-formed chunks follow it; those are kept as they are.
  unsigned frame;
  if (w.kind == WaveKind::kGsm) {
    if (w.block_align != 65 || w.samples_per_block != 320 || w.sample_rate != 8000 || w.channels != 1)
      return Refuse("a GSM WAVE format other than 8000 Hz mono in 65-byte blocks");
    if (!w.has_fact) return Refuse("a GSM WAVE file without a sample count (fact chunk)");
    frame = 65;
  } else {
    frame = w.block_align;
    if (frame == 0 || w.sample_rate == 0) return Refuse("the format chunk gives no frame size or sample rate");
  }
  std::uint64_t payload = w.data_present - w.data_present % frame;
  if (w.chunks_after_data && payload != w.data_present)
    return Refuse("the data chunk is not whole frames and other chunks follow it");

  RepairPlan p;
  p.action = RepairPlan::Action::kRepair;
  p.new_length = w.chunks_after_data ? file.size() : w.data_offset + payload;
  p.cut_bytes = file.size() - p.new_length;
  std::uint32_t data32 = static_cast<std::uint32_t>(payload);
  p.what = w.kind == WaveKind::kGsm ? "a GSM 06.10 WAVE file" : "a PCM WAVE file";
  if (w.unfinished) p.what += " that was never finished";
  PatchU32(&p, 4, static_cast<std::uint32_t>(p.new_length - 8));
  if (w.kind == WaveKind::kGsm) PatchU32(&p, w.fact_offset, static_cast<std::uint32_t>(payload / 65 * 320));
  PatchU32(&p, w.data_offset - 4, data32);
  return p;
}

void ApplyRepair(std::vector<unsigned char>* bytes, const RepairPlan& plan) {
  if (plan.action != RepairPlan::Action::kRepair) return;
  bytes->resize(plan.new_length);
  for (const RepairPlan::Patch& patch : plan.patches) {
    for (std::size_t i = 0; i < patch.bytes.size() && patch.offset + i < bytes->size(); ++i)
      (*bytes)[patch.offset + i] = patch.bytes[i];
  }
}

bool ApplyRepair(const std::string& path, const RepairPlan& plan, std::string* error) {
  if (plan.action != RepairPlan::Action::kRepair) return true;
  // Cut first: a repair interrupted after this point plans the same patches
  // when it is run again.
  std::error_code ec;
  if (plan.cut_bytes > 0) std::filesystem::resize_file(FsPath(path), plan.new_length, ec);
  if (ec) {
    *error = "cannot shorten the file: " + ec.message();
    return false;
  }
  std::fstream f(FsPath(path), std::ios::in | std::ios::out | std::ios::binary);
  for (const RepairPlan::Patch& patch : plan.patches) {
    f.seekp(static_cast<std::streamoff>(patch.offset));
    f.write(reinterpret_cast<const char*>(patch.bytes.data()), static_cast<std::streamsize>(patch.bytes.size()));
  }
  f.flush();
  if (!f) {
    *error = "cannot write the header";
    return false;
  }
  f.close();
  if (f.fail()) {
    *error = "cannot write the header";
    return false;
  }
  return true;
}

std::string DescribeRepair(const RepairPlan& plan) {
  std::string out = plan.what + "\n";
  if (plan.action != RepairPlan::Action::kRepair) return out;
  char line[160];
  if (plan.cut_bytes > 0) {
    std::snprintf(line, sizeof line, "cut %llu trailing bytes (an incomplete block or sample)\n",
                  static_cast<unsigned long long>(plan.cut_bytes));
    out += line;
  }
  std::snprintf(line, sizeof line, "rewrite the header for a length of %llu bytes\n",
                static_cast<unsigned long long>(plan.new_length));
  out += line;
  return out;
}

}  // namespace kiv::tool
