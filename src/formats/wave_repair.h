// SPDX-License-Identifier: MIT
// Repair of a GSM or PCM WAVE file that was cut off (a crash, a full disk,
// a copy interrupted): the decision, made on the file's bytes alone so that
// it can be shown, tested and fuzzed, and its application to bytes in
// memory. The tool applies a plan to a file on disk.
//
// A plan only ever cuts an incomplete trailing block or sample frame and
// rewrites size fields in place; it never touches audio or a well-formed
// chunk after the data, and it acts only on a self-consistent format.
// Computed from the length again, the same plan results, so an interrupted
// repair can simply be run again.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "byte_source.h"
#include "wave_reader.h"

namespace kiv {

struct RepairPlan {
  enum class Action { kNothing, kRepair, kRefuse };
  Action action = Action::kRefuse;
  std::string what;  // the file as recognised, or why it is refused
  std::uint64_t new_length = 0;
  std::uint64_t cut_bytes = 0;  // bytes dropped from the end
  struct Patch {
    std::uint64_t offset;
    std::vector<unsigned char> bytes;
  };
  std::vector<Patch> patches;  // written after the file is cut
};

RepairPlan PlanRepair(const ByteSource& file);
// The same, for a caller that has already read the header: `info` is
// InspectWave(file).
RepairPlan PlanRepair(const ByteSource& file, const WaveInfo& info);

// Applies a plan to bytes in memory (the fuzz target and tests use this).
void ApplyRepair(std::vector<unsigned char>* bytes, const RepairPlan& plan);

}  // namespace kiv
