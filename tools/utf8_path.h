// Command-line arguments (UTF-8) to the library's UTF-16 paths.
#pragma once

#include <string>

#include "kivgsm.h"

namespace kiv::tool {

// Strict UTF-8 decoding; false on malformed input.
bool Utf8ToPath(const std::string& utf8, std::basic_string<KivPathChar>* out);

}  // namespace kiv::tool
