// SPDX-License-Identifier: MIT
// An in-memory file system that keeps only the first 4 KiB of each file and
// its length, so that tests can write recordings of hundreds of megabytes
// and still read their headers. It takes no locks (an open never says
// "in use"): one writer per file is the test's own affair.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "io/file_stream.h"

namespace kiv::test {

class SparseFileSystem {
 public:
  static constexpr std::size_t kKept = 4096;
  SparseFileSystem();
  const FileSystem* fs() const { return &fs_; }
  // The kept prefix of `name` and its full length; false if never created.
  bool Get(const std::string& name, std::vector<unsigned char>* prefix, std::uint64_t* length) const;

  struct File {
    std::vector<unsigned char> prefix = std::vector<unsigned char>(kKept, 0);
    std::uint64_t length = 0;
  };
  struct Stream;

 private:
  FileSystem fs_;
  mutable std::mutex mutex_;
  std::map<std::basic_string<KivPathChar>, File> files_;
  friend struct Stream;
  static FileStream* Open(const FileSystem* fs, const KivPathChar* name, OpenMode mode, OutputOpen* why);
  static NameLookup IdentifyName(const FileSystem* fs, const KivPathChar* name, FileIdentity* id);
};

}  // namespace kiv::test
