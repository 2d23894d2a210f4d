// Where an output named on the command line is written. The tool writes
// beside that file and renames over it at the end, and a WAVE header is
// completed by seeking back, so only a regular file or a new name in a
// folder will do: never standard output, a pipe, a FIFO, a device or a
// folder. A symbolic link is followed, and the file it names is replaced.
#pragma once

#include <string>

namespace kiv::tool {

// The path to rename the finished output to, or "" with the reason.
std::string ReplaceableOutput(const std::string& utf8_name, std::string* why_not);

}  // namespace kiv::tool
