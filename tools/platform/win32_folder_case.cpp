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
  const std::wstring name = FsPath(path).wstring();
  if (name.empty()) return path;
  std::wstring lower(name.size(), L'\0');
  const int n = LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_LOWERCASE, name.c_str(), static_cast<int>(name.size()),
                              lower.data(), static_cast<int>(lower.size()), nullptr, nullptr, 0);
  if (n <= 0) return path;
  lower.resize(static_cast<std::size_t>(n));
  return Utf8Name(std::filesystem::path(lower));
}

}  // namespace kiv::tool
