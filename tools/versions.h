// SPDX-License-Identifier: MIT
// What `kivgsm --version` prints: the tool's version, the library's (its
// core is linked into the tool), and the versions of the libraries it
// decodes, resamples and encodes with: as they run where the library can
// say so (libsndfile, libsoxr), as built against where it cannot.
#pragma once

#include <string>

namespace kiv::tool {

std::string VersionText(const std::string& tool_version);

}  // namespace kiv::tool
