// SPDX-License-Identifier: MIT
// `kivgsm info [--json] FILE`: a GSM or PCM WAVE file's header, checked
// against the file.
#pragma once

#include <string>

namespace kiv::tool {

// 0 when the header agrees with the file, 11 when it is unfinished or
// disagrees, 12 when the file cannot be read or is not a WAVE file.
int InfoCommand(const std::string& path, bool json);

}  // namespace kiv::tool
