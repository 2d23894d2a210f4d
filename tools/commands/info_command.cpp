// SPDX-License-Identifier: MIT
#include "commands/info_command.h"

#include <cstdio>

#include "exit_codes.h"
#include "messages.h"
#include "file_bytes.h"
#include "wave_report.h"
#include "platform/console.h"

namespace kiv::tool {

int InfoCommand(const std::string& path, bool json) {
  FileBytes file(path);
  if (!file.ok()) {
    if (json) Print(stdout, "%s", FormatErrorJson(path, file.error()).c_str());
    Print(stderr, "kivgsm: %s: %s\n", Shown(path).c_str(), file.error().c_str());
    return kExitInfoUnreadable;
  }
  WaveInfo info = InspectWave(file);
  Print(stdout, "%s", (json ? FormatWaveInfoJson(info) : FormatWaveInfo(info)).c_str());
  if (info.kind == WaveKind::kNotWave && !info.zero_header) return kExitInfoUnreadable;
  if (!json && !info.consistent && PlanRepair(file, info).action == RepairPlan::Action::kRepair)
    Print(stdout, "hint:              kivgsm repair %s makes it a valid file\n", ShellQuoted(path).c_str());
  return info.consistent ? kExitOk : kExitInfoDisagree;
}

}  // namespace kiv::tool
