// SPDX-License-Identifier: MIT
#include "formats/wave_repair.h"

#include "formats/little_endian.h"
#include "formats/pcm_wave_file.h"
#include "formats/wave_format.h"
#include "formats/wave_reader.h"

namespace kiv {
namespace {

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

}  // namespace

RepairPlan PlanRepair(const ByteSource& file) { return PlanRepair(file, InspectWave(file)); }

RepairPlan PlanRepair(const ByteSource& file, const WaveInfo& w) {
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
  if (file.size() > kMaxRiffFileBytes) return Refuse("the file is larger than a WAVE file can describe");
  if (w.zero_header) {
    // The library writes only 8000 Hz mono 16-bit PCM, so that is what
    // follows an all-zero header.
    RepairPlan p;
    p.action = RepairPlan::Action::kRepair;
    p.what = "a PCM recording that was never stopped (8000 Hz mono 16-bit, all-zero header)";
    std::uint64_t payload = w.frames * w.frame_bytes;
    p.new_length = kPcmHeaderBytes + payload;
    p.cut_bytes = file.size() - p.new_length;
    PcmWaveHeader header;
    FillPcmWaveHeader(&header, static_cast<std::uint32_t>(payload));
    p.patches.push_back({0, std::vector<unsigned char>(header.bytes, header.bytes + kPcmHeaderBytes)});
    return p;
  }
  if (!w.has_data) return Refuse("the header is cut off or damaged: no data chunk");
  if (w.kind == WaveKind::kGsm && !w.format_ok)
    return Refuse("a GSM WAVE format other than 8000 Hz mono in 65-byte blocks");
  if (w.damaged) return Refuse("the header is damaged: " + w.problems.front());

  // The audio runs to the end of the file unless the data chunk's size fits
  // and only well-formed chunks follow it; those are kept as they are. Only
  // an incomplete last block or sample frame is ever cut.
  std::uint64_t payload = w.data_present - w.data_present % w.frame_bytes;
  if (w.chunks_after_data && payload != w.data_present)
    return Refuse("the data chunk is not whole frames and other chunks follow it");

  RepairPlan p;
  p.action = RepairPlan::Action::kRepair;
  p.new_length = w.chunks_after_data ? file.size() : w.data_offset + payload;
  p.cut_bytes = file.size() - p.new_length;
  p.what = w.kind == WaveKind::kGsm ? "a GSM 06.10 WAVE file" : "a PCM WAVE file";
  if (w.unfinished) p.what += " that was never finished";
  PatchU32(&p, 4, static_cast<std::uint32_t>(p.new_length - kRiffChunkHeaderBytes));
  if (w.kind == WaveKind::kGsm)
    PatchU32(&p, w.fact_offset, static_cast<std::uint32_t>(payload / kGsmBlockBytes * kGsmSamplesPerBlock));
  PatchU32(&p, w.data_offset - 4, static_cast<std::uint32_t>(payload));
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

}  // namespace kiv
