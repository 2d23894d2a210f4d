// SPDX-License-Identifier: MIT
// `kivgsm record [--pcm] OUT.wav [--seconds N]`
#pragma once

#include <string>

namespace kiv::tool {

// Records until `seconds` (when >= 0), Enter, Ctrl-C or SIGTERM, always
// finishing the file. Returns the process exit code.
int RecordCommand(const std::string& out, bool pcm, double seconds);

}  // namespace kiv::tool
