// SPDX-License-Identifier: MIT
// How much the tool says (-q, the default, -v), and how the names it says
// are shown: a file name is bytes, and bytes that are not UTF-8 (an old
// Latin-1 name) are shown as \xNN, so that every line stays valid text.
#pragma once

#include <cstddef>
#include <string>

namespace kiv::tool {

enum class Verbosity { kQuiet, kNormal, kVerbose };

void SetVerbosity(Verbosity v);
// -q: errors only. Summaries, warnings and progress are left out.
bool Quiet();
// -v: also what was detected in each input and how it was decoded.
bool Verbose();

// The length of the valid UTF-8 sequence at s[i], or 0.
std::size_t Utf8Length(const std::string& s, std::size_t i);
// `text` with each byte that is not part of valid UTF-8 written as \xNN.
std::string Shown(const std::string& text);
// `path` as one shell word, so that a hint can be pasted as it stands.
std::string ShellQuoted(const std::string& path);

}  // namespace kiv::tool
