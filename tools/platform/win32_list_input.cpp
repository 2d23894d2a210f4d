// SPDX-License-Identifier: MIT
// Windows has no FIFO to wait on by name, and Ctrl-C ends a console read:
// the C++ library's streams serve.
#include <fstream>
#include <iostream>

#include "platform/list_input.h"
#include "platform/utf8_path.h"

namespace kiv::tool {

std::unique_ptr<std::istream> OpenListInput(const std::string& path) {
  if (path == "-") return std::make_unique<std::istream>(std::cin.rdbuf());
  auto file = std::make_unique<std::ifstream>(FsPath(path), std::ios::binary);
  if (!file->is_open()) return nullptr;
  return file;
}

}  // namespace kiv::tool
