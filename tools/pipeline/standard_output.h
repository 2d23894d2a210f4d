// SPDX-License-Identifier: MIT
// "-" as an output: standard output, given to the library's GSM writer as a
// file layer. Where standard output is a regular file the header is
// finished by seeking back, as for a file written by name, and the bytes
// are the same; the file ends where the output does, and the shared offset
// is left there for whatever the shell writes next. Where it is a pipe (or
// a file opened for appending) nothing can be rewritten: the GSM header's
// RIFF and data sizes go out as 0xFFFFFFFF and its sample count as 0,
// which readers take as "to the end of the stream" and `repair` finishes,
// and the bytes the writer rewrites in place are dropped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "io/file_stream.h"

namespace kiv::tool {

// Why standard output cannot take a file ("" when it can): a terminal, or
// a stream closed when the tool started.
std::string StandardOutputRefusal();
// True when standard output is the file `utf8_path` names.
bool StandardOutputIsFile(const std::string& utf8_path);
// True when standard output is a regular file that a header can be
// finished in by seeking back (not one opened for appending).
bool StandardOutputIsSeekable();

// The file layer whose every open for writing is standard output: a
// regular file is cut at the current offset, where the output starts.
const FileSystem* StandardOutputFileSystem();
// Bytes written to standard output through that layer.
std::uint64_t StandardOutputBytes();
// Takes back what that layer, or a writer after CutStandardOutputHere,
// wrote, where it can (a regular file): a conversion that failed leaves
// nothing, as with a named output.
void DiscardStandardOutput();

// Standard output cut at the current offset (a regular file), for a
// writer that finishes its own header; false when it cannot be.
bool CutStandardOutputHere();
// Writes all of `n` bytes to standard output, past stdio; false on failure.
bool WriteStandardOutput(const void* bytes, std::size_t n);

}  // namespace kiv::tool
