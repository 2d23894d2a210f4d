// SPDX-License-Identifier: MIT
// Whether a folder tells names apart by case, and the name under which it
// knows a file: two outputs of one batch that differ only in case are one
// file in a folder that ignores case, and the second would replace the
// first.
#pragma once

#include <string>

namespace kiv::tool {

// `utf8_path` with its last part lower-cased when the folder that holds it
// (or would: the nearest folder on the way that exists) ignores case, as
// every Windows folder does and, on Linux, FAT, exFAT, SMB/CIFS shares and
// ext4 or F2FS folders with the casefold attribute; otherwise unchanged.
// Letters are folded as such file systems fold them: ASCII, Latin-1,
// Greek and Cyrillic on Linux; Windows' own mapping there.
std::string NameAsTheFolderKnowsIt(const std::string& utf8_path);

}  // namespace kiv::tool
