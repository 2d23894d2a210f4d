// SPDX-License-Identifier: MIT
#include "commands/repair_command.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "exit_codes.h"
#include "messages.h"
#include "file_bytes.h"
#include "platform/console.h"
#include "platform/utf8_path.h"
#include "wave_report.h"

namespace kiv::tool {

bool ApplyRepairToFile(const std::string& path, const RepairPlan& plan, std::string* error) {
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
  if (f) f.close();
  if (!f) {
    *error = "cannot write the header";
    return false;
  }
  return true;
}

int RepairCommand(const std::string& path, bool dry_run) {
  // Only a regular file is opened at all, for reading or for the lock: an
  // open of a FIFO would hand its reader an end of file, and one of a tape
  // or a serial line could rewind the tape or hang up the line.
  FileBytes file(path);
  if (!file.ok()) {
    Print(stderr, "kivgsm: %s: %s\n", Shown(path).c_str(), file.error().c_str());
    return kExitRepairRefused;
  }
  // The library's writer lock on the file, held from the first read to the
  // last write, so that no recording or conversion starts on it meanwhile.
  HeldLock held{LockForEditing(path)};
  if (held.lock.being_written) {
    Print(stderr, "kivgsm: %s: not repaired: it is being written by another program\n", Shown(path).c_str());
    return kExitArgument;
  }
  RepairPlan plan = PlanRepair(file);
  if (plan.action == RepairPlan::Action::kRefuse) {
    Print(stderr, "kivgsm: %s: not repaired: %s\n", Shown(path).c_str(), plan.what.c_str());
    return kExitRepairRefused;
  }
  std::string steps = DescribeRepair(plan);
  if (plan.action == RepairPlan::Action::kNothing || dry_run) {
    if (Quiet() && !dry_run) return kExitOk;
    Print(stdout, "%s: %s", Shown(path).c_str(), steps.c_str());
    if (dry_run && plan.action == RepairPlan::Action::kRepair) Print(stdout, "%s\n", "(dry run: nothing written)");
    return kExitOk;
  }
  std::string error;
  if (!ApplyRepairToFile(path, plan, &error)) {
    Print(stderr, "kivgsm: %s: repair failed: %s; run it again once the cause is mended\n", Shown(path).c_str(),
                 error.c_str());
    return kExitWrite;
  }
  if (!Quiet()) Print(stdout, "%s: %srepaired\n", Shown(path).c_str(), steps.c_str());
  return kExitOk;
}

}  // namespace kiv::tool
