// SPDX-License-Identifier: MIT
// "-" as an output: the library's writer, given a file layer over standard
// output. Where standard output is a regular file the header is finished by
// seeking back, as for a file written by name, and the bytes are the same.
// Where it is a pipe (or a file opened for appending) nothing can be
// rewritten: the GSM header's RIFF and data sizes go out as 0xFFFFFFFF,
// which readers take as "read on to the end" and `repair` finishes, and
// the bytes the writer rewrites in place are dropped.
#pragma once

#include <cstdint>

#include "io/file_stream.h"

namespace kiv::tool {

// The file layer whose every open for writing is standard output.
const FileSystem* StandardOutputFileSystem();
// True when standard output is a terminal, which takes no audio.
bool StandardOutputIsTerminal();
// True when standard output is a regular file that a header can be
// finished in by seeking back (not one opened for appending).
bool StandardOutputIsSeekable();
// Bytes written to standard output through that layer.
std::uint64_t StandardOutputBytes();

}  // namespace kiv::tool
