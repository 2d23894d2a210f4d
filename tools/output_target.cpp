#include "output_target.h"

#include <filesystem>

#include "platform/console.h"
#include "utf8_path.h"

namespace kiv::tool {

std::string ReplaceableOutput(const std::string& name, std::string* why_not) {
  namespace fs = std::filesystem;
  constexpr char kNotAFile[] =
      "it must be a regular file or a new name in a folder, not standard output, a pipe, a device or a folder";
  if (name == "-" || IsStandardStream(name)) {
    *why_not = std::string("it is a standard stream; ") + kNotAFile;
    return "";
  }
  std::error_code ec;
  fs::path path = FsPath(name);
  fs::file_status status = fs::status(path, ec);
  if (fs::exists(status) && !fs::is_regular_file(status)) {
    *why_not = kNotAFile;
    return "";
  }
  if (!fs::is_symlink(fs::symlink_status(path, ec))) return name;
  fs::path target = fs::weakly_canonical(path, ec);
  if (ec) {
    *why_not = "cannot follow the link: " + ec.message();
    return "";
  }
  std::u8string u8 = target.u8string();
  return std::string(u8.begin(), u8.end());
}

}  // namespace kiv::tool
