// `kivgsm repair`: makes a GSM or PCM WAVE file that was cut off (a crash,
// a full disk, a copy interrupted) into a valid file, from its real length.
//
// The decision is made on the file's bytes alone (PlanRepair) and carried
// out separately (ApplyRepair), so that it can be shown (--dry-run), tested
// and fuzzed. A plan only ever cuts an incomplete trailing block or sample
// frame and rewrites size fields in place; it never touches audio or a
// well-formed chunk after the data. Computed from the length again, the
// same plan results, so an interrupted repair can simply be run again.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "byte_source.h"

namespace kiv::tool {

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

// Cuts the file and writes the patches; false (with `error`) on failure.
bool ApplyRepair(const std::string& path, const RepairPlan& plan, std::string* error);

// Applies a plan to bytes in memory (the fuzz target and tests use this).
void ApplyRepair(std::vector<unsigned char>* bytes, const RepairPlan& plan);

// One line per step, for the user.
std::string DescribeRepair(const RepairPlan& plan);

}  // namespace kiv::tool
