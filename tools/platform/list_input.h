// SPDX-License-Identifier: MIT
// The stream a list of inputs is read from (--files-from). A read that waits
// (a pipe or FIFO that brings no more names) must not outlast a stop
// request: the C++ library's own file streams read again after a signal,
// and would wait on.
#pragma once

#include <istream>
#include <memory>
#include <string>

namespace kiv::tool {

// The list at `utf8_path`, or standard input for "-"; nullptr when it
// cannot be opened. A read cut short once a stop is requested puts the
// stream in error (bad()), as a read error does.
std::unique_ptr<std::istream> OpenListInput(const std::string& utf8_path);

}  // namespace kiv::tool
