// SPDX-License-Identifier: MIT
#include <windows.h>

#include <filesystem>
#include <string>

#include "platform/folder_case.h"
#include "platform/utf8_path.h"

namespace kiv::tool {

// Every Windows folder ignores case (per-folder case sensitivity exists
// only where it was turned on for Linux programs); Windows folds letters
// with its own table.
std::string NameAsTheFolderKnowsIt(const std::string& path) {
  std::wstring name = FsPath(path).wstring();
  if (!name.empty()) CharLowerBuffW(name.data(), static_cast<DWORD>(name.size()));
  return Utf8Name(std::filesystem::path(name));
}

}  // namespace kiv::tool
