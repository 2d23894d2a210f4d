// SPDX-License-Identifier: MIT
// A temporary file beside another file, on the same file system, so that
// it can be renamed over that file in one step. It is removed when it goes
// out of scope unless it was renamed into place, and an interrupt removes
// it too (see RemoveTrackedFilesOnInterrupt).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace kiv::tool {

class TempFile {
 public:
  // Creates ".NAME.XXXXXXXX<suffix>" in the folder of `target`; nullptr
  // when that folder cannot take one.
  static std::unique_ptr<TempFile> Beside(const std::string& target, const std::string& suffix);
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  const std::string& path() const { return path_; }
  // Renames the file over `target`: 0, or (with the reason in `error`, and
  // the file still removed later) 9 when `target` is being written by
  // another program, or appeared since the conversion began, 4 when the
  // rename fails. An existing `target` is held under the writers' lock
  // until it is replaced, so that no recording starts on it meanwhile; a
  // new name is taken only if it is still free.
  int RenameTo(const std::string& target, std::string* error);

 private:
  TempFile(std::string path, std::intptr_t handle);
  std::string path_;
  std::intptr_t handle_;  // its place among the files an interrupt removes
  bool renamed_ = false;
};

}  // namespace kiv::tool
