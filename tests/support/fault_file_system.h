// SPDX-License-Identifier: MIT
// A file system layer over the real one that injects faults on a countdown:
// "the Nth write fails with ENOSPC" without filling a disk. Counters are per
// layer and cover every stream opened through it.
#pragma once

#include <cstdint>

#include "io/file_stream.h"

namespace kiv::test {

class FaultFileSystem {
 public:
  FaultFileSystem();
  FaultFileSystem(const FaultFileSystem&) = delete;
  FaultFileSystem& operator=(const FaultFileSystem&) = delete;

  // Clears every fault and counter.
  void Reset() {
    fail_write_ = fail_read_ = writes_ = reads_ = fail_seek_ = fail_tell_ = seeks_ = tells_ = 0;
    sticky_write_ = fail_close_ = fail_open_write_ = fail_lookup_ = false;
  }
  const FileSystem* fs() const { return &fs_; }

  // The Nth write (counting from 1) accepts nothing, and with `sticky` so
  // does every later one. 0 turns the fault off.
  void FailWrite(int nth, bool sticky = false) { fail_write_ = nth; sticky_write_ = sticky; }
  void FailRead(int nth) { fail_read_ = nth; }
  void FailClose() { fail_close_ = true; }
  void FailOpenForWrite() { fail_open_write_ = true; }
  // The Nth seek or position query (counting from 1) fails, moving nothing.
  void FailSeek(int nth) { fail_seek_ = nth; }
  void FailTell(int nth) { fail_tell_ = nth; }
  // Every lookup of a name fails, as when memory for it runs out.
  void FailLookup() { fail_lookup_ = true; }

  int writes() const { return writes_; }
  int reads() const { return reads_; }

  struct Stream;  // one open stream and the real one beneath it

 private:
  static FileStream* Open(const FileSystem* fs, const KivPathChar* name, OpenMode mode, OutputOpen* why);
  static NameLookup IdentifyName(const FileSystem* fs, const KivPathChar* name, FileIdentity* id);
  static std::size_t Read(FileStream* s, void* dst, std::size_t size, std::size_t count);
  static std::size_t Write(FileStream* s, const void* src, std::size_t size, std::size_t count);
  static bool Seek(FileStream* s, std::int64_t offset, SeekOrigin origin);
  static std::int64_t Tell(FileStream* s);
  static bool Truncate(FileStream* s, std::int64_t length);
  static bool Flush(FileStream* s);
  static bool Failed(FileStream* s);
  static bool Identify(FileStream* s, FileIdentity* id);
  static bool Close(FileStream* s);
  static const FileStreamMethods kMethods;

  FileSystem fs_;
  int fail_write_ = 0;
  bool sticky_write_ = false;
  int fail_read_ = 0;
  bool fail_close_ = false;
  bool fail_open_write_ = false;
  bool fail_lookup_ = false;
  int fail_seek_ = 0;
  int fail_tell_ = 0;
  int seeks_ = 0;
  int tells_ = 0;
  int writes_ = 0;
  int reads_ = 0;
};

}  // namespace kiv::test
