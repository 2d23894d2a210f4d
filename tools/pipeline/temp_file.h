// A temporary file beside another file, on the same file system, so that
// it can be renamed over that file in one step. It is removed when it goes
// out of scope unless it was renamed into place, and an interrupt removes
// it too (see RemoveTrackedFilesOnInterrupt).
#pragma once

#include <memory>
#include <string>

namespace kiv::tool {

class TempFile {
 public:
  // Creates ".NAME.XXXXXXXX<suffix>" in the folder of `target` (a FIFO when
  // `fifo`); nullptr when that folder cannot take one.
  static std::unique_ptr<TempFile> Beside(const std::string& target, const std::string& suffix, bool fifo = false);
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  const std::string& path() const { return path_; }
  // Renames the file over `target`; false (with the reason) if that fails,
  // in which case the file is still removed later.
  bool RenameTo(const std::string& target, std::string* error);

 private:
  explicit TempFile(std::string path);
  std::string path_;
  int slot_;
  bool renamed_ = false;
};

}  // namespace kiv::tool
