// SPDX-License-Identifier: MIT
#include "pipeline/output_target.h"

#include <filesystem>

#include "kivgsm.h"
#include "platform/console.h"
#include "platform/utf8_path.h"
#if defined(_WIN32)
#include "platform/windows_device_name.h"
#endif

namespace kiv::tool {

OutputTarget ResolveOutput(const std::string& name, const std::string& input) {
  namespace fs = std::filesystem;
  constexpr char kNotAFile[] =
      "it must be a regular file or a new name in a folder, not standard output, a pipe, a device or a folder";
  auto refuse = [](int code, std::string why) { return OutputTarget{"", code, std::move(why)}; };
  // Standard input read from the file named as the output: that file is
  // the input.
  if (input == "-" && name != "-" && IsStandardStream(name, 0))
    return refuse(KIV_ERR_ARGUMENT, "bad argument: the output is the input file");
  if (name == "-" || IsStandardStream(name))
    return refuse(KIV_ERR_OUTPUT_CREATE, std::string("cannot create the output file: it is a standard stream; ") +
                                             kNotAFile + " (convert and decode write standard output when it is named -)");
  std::error_code ec;
  fs::path path = FsPath(name);
#if defined(_WIN32)
  // NUL, CON, COM1... name devices in every folder: refused unopened.
  if (IsWindowsDeviceName(path.c_str()))
    return refuse(KIV_ERR_OUTPUT_CREATE, std::string("cannot create the output file: it is a Windows device name (NUL, CON, "
                                                     "AUX, PRN, COM1-9, LPT1-9); ") + kNotAFile);
#endif
  fs::file_status status = fs::status(path, ec);
  if (fs::exists(status) && !fs::is_regular_file(status))
    return refuse(KIV_ERR_OUTPUT_CREATE, std::string("cannot create the output file: ") + kNotAFile);
  // What the user may not write is not replaced behind its back either.
  if (fs::exists(status) && !MayReplace(name))
    return refuse(KIV_ERR_OUTPUT_CREATE, "cannot create the output file: it is read-only to this user");
  // Both must exist to be one file; either missing is an error, not a match.
  if (fs::equivalent(FsPath(input), path, ec)) return refuse(KIV_ERR_ARGUMENT, "bad argument: the output is the input file");
  if (!fs::is_symlink(fs::symlink_status(path, ec))) return {name, 0, "", fs::exists(status)};
  // Follow the links one by one, so that a link to a file not made yet
  // (latest.wav -> archive/memo.wav) leads to the name to create, and the
  // link itself is never replaced.
  fs::path target = path;
  for (int hops = 0; fs::is_symlink(fs::symlink_status(target, ec)); ++hops) {
    fs::path next = fs::read_symlink(target, ec);
    if (ec || hops == 40)
      return refuse(KIV_ERR_OUTPUT_CREATE, "cannot create the output file: cannot follow the link" +
                                               (ec ? ": " + ec.message() : std::string(": too many levels")));
    target = next.is_absolute() ? next : target.parent_path() / next;
  }
  return {Utf8Name(target.lexically_normal()), 0, "", fs::exists(fs::symlink_status(target, ec))};
}

EditLock HoldExistingOutput(const OutputTarget& target) {
  return target.existed ? LockForEditing(target.path) : EditLock{};
}

}  // namespace kiv::tool
