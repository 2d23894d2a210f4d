// SPDX-License-Identifier: MIT
// The outputs this library has open for writing, by file identity, so that
// no second writer (a recorder or a conversion) starts on a file that is
// being written, whatever name, hard link or symbolic link reaches it. The
// running writer goes on untouched: the second one is refused before its
// open could empty the file. Writers in other processes are kept out by
// the file layer's lock (see FileSystem::open).
#pragma once

#include "io/file_stream.h"

namespace kiv {

// Opens `path` for writing ("wb") through `fs` unless it names a file that
// is already one of ours being written, or that another process holds
// (the file layer's lock). On kOpened, `*stream` is open and `*id` names
// it for ReleaseOutput.
OutputOpen OpenOutput(const FileSystem* fs, const KivPathChar* path, FileStream** stream, FileIdentity* id,
                      OpenMode mode = OpenMode::kWrite);

// The writer of `id` has closed it.
void ReleaseOutput(const FileIdentity& id);

// In a child made by fork(), before anything else runs: the outputs are the
// parent's writers', and the register's lock may have been held by one of
// its threads. The child starts with an empty register (the parent's files
// stay kept from it by the file layer's lock).
void ForgetOutputsAfterFork();

}  // namespace kiv
