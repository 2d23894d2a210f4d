// SPDX-License-Identifier: MIT
// The file stream layer: every file the library reads or writes goes through
// this small table of operations, so the core never touches the operating
// system directly and tests can substitute a layer that injects faults.
//
// A FileSystem opens streams by the caller's UTF-16 path, which each
// platform's layer turns into a file name as it must (strict UTF-8 on POSIX,
// unchanged on Windows); a FileStream carries its own method table (the
// first member of every implementation's stream record). All calls on one
// stream come from one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kivgsm.h"

namespace kiv {

struct FileStreamMethods;

struct FileStream {
  const FileStreamMethods* methods;
};

// "rb"; "wb" (create or empty); and create without emptying, for a writer
// that puts its first bytes in place before it cuts the file after them
// (StreamTruncate), so that an existing file it fails to write is kept.
enum class OpenMode { kRead, kWrite, kWriteOver };
enum class SeekOrigin { kStart, kEnd };

// How an open for writing went: kInUse when another writer, in this
// process or any other, holds the file (it is left as it was).
enum class OutputOpen { kOpened, kInUse, kCannotCreate };

// Identifies a file on disk independently of the name used to reach it.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  bool is_directory = false;
};

// How looking a name up went: kFailed when it could not be told whether
// the name exists (no memory for it, no permission to search its folder,
// a name the platform cannot take). A caller that needs to know what a
// name is must refuse on kFailed, never take it for kAbsent.
enum class NameLookup { kFound, kAbsent, kFailed };

struct FileStreamMethods {
  // Reads up to `count` items of `size` bytes; returns the number of complete
  // items. A short count means end of input or a read error (see `failed`).
  std::size_t (*read)(FileStream* s, void* dst, std::size_t size, std::size_t count);
  // Writes `count` items of `size` bytes; returns the number of items that the
  // stream accepted. Anything short of `count` is a failure.
  std::size_t (*write)(FileStream* s, const void* src, std::size_t size, std::size_t count);
  // Moves to `offset` from `origin`, first writing out buffered data.
  bool (*seek)(FileStream* s, std::int64_t offset, SeekOrigin origin);
  // Current position, or -1.
  std::int64_t (*tell)(FileStream* s);
  // Cuts the file to `length` bytes; the position moves to the new end.
  bool (*truncate)(FileStream* s, std::int64_t length);
  // Writes buffered data to the file.
  bool (*flush)(FileStream* s);
  // True once a read error (not the end of the file) has happened. Write
  // errors are reported by the result of the write, flush, seek or close
  // that met them.
  bool (*failed)(FileStream* s);
  bool (*identify)(FileStream* s, FileIdentity* id);
  // Writes out buffered data and releases the stream; false if that failed.
  bool (*close)(FileStream* s);
};

struct FileSystem {
  // Returns a stream positioned at the start, or nullptr. `path` is a
  // valid zero-terminated UTF-16 path (see IsValidPath). A file opened for
  // writing carries the operating system's writer lock (POSIX: a write
  // lock on the whole file; Windows: no sharing for writing or deleting)
  // until it is closed, and a file that another writer holds is neither
  // opened nor emptied. When `why` is not null it says how an open for
  // writing ended (kInUse: another writer holds the file); a layer that
  // takes no locks may leave it alone, and every failure then counts as
  // kCannotCreate.
  FileStream* (*open)(const FileSystem* fs, const KivPathChar* path, OpenMode mode, OutputOpen* why);
  // Identifies the file at `path` (following symbolic links).
  NameLookup (*identify)(const FileSystem* fs, const KivPathChar* path, FileIdentity* id);
  void* context;  // for layers that wrap another file system
};

// The operating system's files.
const FileSystem* DefaultFileSystem();

// The file system the entry points use: the default, unless a test put
// another in place through the internal seam (not exported; nullptr
// restores the default).
const FileSystem* ActiveFileSystem();
void SetFileSystemForTesting(const FileSystem* fs);

inline std::size_t StreamRead(FileStream* s, void* dst, std::size_t size, std::size_t count) {
  return s->methods->read(s, dst, size, count);
}
inline std::size_t StreamWrite(FileStream* s, const void* src, std::size_t size, std::size_t count) {
  return s->methods->write(s, src, size, count);
}
inline bool StreamSeek(FileStream* s, std::int64_t offset, SeekOrigin origin) {
  return s->methods->seek(s, offset, origin);
}
inline std::int64_t StreamTell(FileStream* s) { return s->methods->tell(s); }
inline bool StreamTruncate(FileStream* s, std::int64_t length) { return s->methods->truncate(s, length); }
inline bool StreamFlush(FileStream* s) { return s->methods->flush(s); }
inline bool StreamFailed(FileStream* s) { return s->methods->failed(s); }
inline bool StreamIdentify(FileStream* s, FileIdentity* id) { return s->methods->identify(s, id); }
inline bool StreamClose(FileStream* s) { return s->methods->close(s); }

}  // namespace kiv
