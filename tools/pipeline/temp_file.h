// SPDX-License-Identifier: MIT
// A temporary file beside another file, on the same file system, so that
// it can be renamed over that file in one step. Where the file system can
// (Linux's O_TMPFILE: ext4, xfs, btrfs, tmpfs) it has no name until it is
// put in place, so that not even SIGKILL can leave it behind; elsewhere it
// is ".NAME.XXXXXXXX<suffix>", removed when it goes out of scope unless it
// was renamed into place, and by an interrupt (RemoveTrackedFilesOnInterrupt).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/console.h"

namespace kiv::tool {

class TempFile {
 public:
  // Creates the file in the folder of `target`; nullptr, with errno saying
  // why, when that folder cannot take one.
  static std::unique_ptr<TempFile> Beside(const std::string& target, const std::string& suffix);
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  // A name to open the file by: its own, or (unnamed) "/proc/self/fd/N".
  const std::string& path() const { return path_; }
  // A name that is valid UTF-8, for the library: path(), or where that
  // holds other bytes (a Latin-1 folder or output name), the name of a
  // descriptor kept open on the file; "" when there is none.
  std::string NameForLibrary();
  // Renames the file over `target`: 0, or (with the reason in `error`, and
  // the file still removed later) 9 when `target` is being written by
  // another program, or appeared since the job began, 4 when the rename
  // fails. `existed` says whether a file had the name when the job began:
  // only then is one there replaced, held under the writers' lock until it
  // is, so that no recording starts on it meanwhile; a name that was free
  // is taken only if it still is.
  // With `keep_existing`, a target that exists, or appears meanwhile, is
  // left as it is and the result is kKeptExisting. `held`, the lock the job
  // took on the target when it began, is used (and given up) while it is
  // still on the file there.
  int RenameTo(const std::string& target, bool existed, std::string* error, bool keep_existing = false,
               EditLock* held = nullptr);
  static constexpr int kKeptExisting = -2;

  // ".NAME.XXXXXXXX<suffix>" beside `target`, within the 255-byte limit.
  static std::string NameBeside(const std::string& target, const std::string& suffix);

 private:
  TempFile(std::string path, std::intptr_t handle, int unnamed);
  std::string path_;
  std::intptr_t handle_;  // its place among the files an interrupt removes
  int unnamed_;           // the unnamed file's descriptor, or -1
  int reopened_ = -1;     // a descriptor held for NameForLibrary, or -1
  std::string suffix_;
  bool named_;  // path_ is a name in the folder, to remove if not renamed
  bool renamed_ = false;
};

}  // namespace kiv::tool
