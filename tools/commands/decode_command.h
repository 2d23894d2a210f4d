// SPDX-License-Identifier: MIT
// `kivgsm decode`: a GSM WAVE file back to 8000 Hz mono 16-bit PCM WAVE,
// so that a user can listen to it or compare it with nothing else.
#pragma once

#include <string>

namespace kiv::tool {

int DecodeCommand(const std::string& in, const std::string& out);

}  // namespace kiv::tool
