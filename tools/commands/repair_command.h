// SPDX-License-Identifier: MIT
// `kivgsm repair [--dry-run] FILE`: makes a GSM or PCM WAVE file that was
// cut off (a crash, a full disk, a copy interrupted) into a valid file,
// from its real length, by the plan that the format's repair decides.
#pragma once

#include <string>

#include "wave_repair.h"

namespace kiv::tool {

// Applies `plan` to the file `path`: cuts it to the plan's length, then
// writes the patches. False, with `error`, when either fails.
bool ApplyRepairToFile(const std::string& path, const RepairPlan& plan, std::string* error);

// 0 when repaired or already valid, 13 when refused (the file untouched),
// 7 when writing the repair failed.
int RepairCommand(const std::string& path, bool dry_run);

}  // namespace kiv::tool
