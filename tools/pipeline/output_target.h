// SPDX-License-Identifier: MIT
// Where an output named on the command line is written. The tool writes
// beside that file and renames over it at the end, and a WAVE header is
// completed by seeking back, so only a regular file or a new name in a
// folder will do: never standard output by a name (it is written as "-",
// through standard_output.h), a pipe, a FIFO, a device or a
// folder; nor may it be the input by any name. A symbolic link is
// followed, and the file it names is replaced.
#pragma once

#include <string>

#include "platform/console.h"

namespace kiv::tool {

struct OutputTarget {
  std::string path;  // to rename the finished output to; "" when refused
  int code = 0;      // when refused: 4 (not a file) or 9 (the input itself)
  std::string why;
  bool existed = false;  // a file had the name when it was resolved
};

OutputTarget ResolveOutput(const std::string& utf8_name, const std::string& utf8_input);

// Why an output that another program is writing (a recording, a repair,
// another job) is refused, with 9.
inline constexpr char kOutputBeingWritten[] = "the output is being written by another program";

// The writers' lock on `target` if a file has its name: the job holds it
// until the new file replaces that one, so that no recording or repair
// starts on it meanwhile. `being_written` says that another program has it.
EditLock HoldExistingOutput(const OutputTarget& target);

}  // namespace kiv::tool
