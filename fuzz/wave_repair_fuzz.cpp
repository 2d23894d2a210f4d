// SPDX-License-Identifier: MIT
// Fuzz target for repair's decision on a file's bytes. Whatever the bytes,
// a plan to repair must give a file that the reader judges valid, that a
// second repair leaves alone, whose bytes after the header are the input's,
// and that never loses a whole block or sample frame of the input.
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <vector>

#include "wave_reader.h"
#include "wave_repair.h"

using kiv::RepairPlan;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  RepairPlan plan = kiv::PlanRepair(kiv::MemoryBytes(data, size));
  if (plan.action != RepairPlan::Action::kRepair) return 0;
  if (plan.new_length > size || plan.new_length + plan.cut_bytes != size) __builtin_trap();
  // Only an incomplete last block or sample frame goes, with what follows
  // the payload and is no chunk (a pad byte).
  kiv::WaveInfo before = kiv::InspectWave(data, size);
  if (before.frame_bytes == 0) __builtin_trap();
  std::uint64_t after_payload = size - before.data_offset - before.data_present;
  if (plan.cut_bytes > before.data_present % before.frame_bytes + after_payload) __builtin_trap();
  std::vector<std::uint8_t> fixed(data, data + size);
  kiv::ApplyRepair(&fixed, plan);
  kiv::WaveInfo w = kiv::InspectWave(fixed.data(), fixed.size());
  if (!w.consistent) __builtin_trap();
  RepairPlan again = kiv::PlanRepair(kiv::MemoryBytes(fixed.data(), fixed.size()));
  if (again.action != RepairPlan::Action::kNothing) __builtin_trap();
  // Only the header's fields change; the audio stays as it was.
  std::size_t header = 0;
  for (const RepairPlan::Patch& p : plan.patches) header = std::max<std::size_t>(header, p.offset + p.bytes.size());
  for (std::size_t i = header; i < fixed.size(); ++i)
    if (fixed[i] != data[i]) __builtin_trap();
  return 0;
}
