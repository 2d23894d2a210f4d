// SPDX-License-Identifier: MIT
// The C++ library's streams serve: Ctrl-C ends a console read, and a
// list that is a named file never waits. (A pipe from a program that stops
// writing still holds a worker in its read until that program ends.)
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
