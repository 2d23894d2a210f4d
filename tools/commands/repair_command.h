// SPDX-License-Identifier: MIT
// `kivgsm repair [--dry-run] FILE`: makes a GSM or PCM WAVE file that was
// cut off (a crash, a full disk, a copy interrupted) into a valid file,
// from its real length, by the plan that the format's repair decides.
#pragma once

#include <string>

namespace kiv::tool {

// 0 when repaired or already valid, 13 when refused (the file untouched),
// 7 when writing the repair failed.
int RepairCommand(const std::string& path, bool dry_run);

}  // namespace kiv::tool
