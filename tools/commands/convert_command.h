// SPDX-License-Identifier: MIT
// `kivgsm convert`: one input to one output, or many inputs into a folder
// with conversions running side by side.
#pragma once

#include <string>
#include <vector>

namespace kiv::tool {

struct ConvertOptions {
  std::vector<std::string> files;  // IN OUT, or the inputs with out_dir
  std::string out_dir;
  std::string files_from;       // more inputs, one per line ("-": standard input)
  bool null_separated = false;  // the list's names end with NUL, not newline
  bool keep_tree = false;       // DIR/REL/NAME.wav: inputs keep their folders
  bool raw = false;
  bool no_clobber = false;  // existing outputs are left as they are, and counted as skipped
  unsigned jobs = 0;  // 0: one per core
};

int ConvertCommand(const ConvertOptions& options);

}  // namespace kiv::tool
