// SPDX-License-Identifier: MIT
#include "pipeline/temp_file.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <random>

#include "kivgsm.h"
#include "pipeline/output_target.h"
#include "platform/console.h"
#include "platform/utf8_path.h"

namespace kiv::tool {
namespace {

constexpr std::size_t kMaxNameBytes = 255;  // one name in a folder, on every file system in use
constexpr std::size_t kTagDigits = 8;

std::string RandomTag() {
  static std::atomic<unsigned> counter{0};
  static const unsigned seed = std::random_device{}();
  std::minstd_rand rng(seed ^ (counter.fetch_add(1) * 2654435761u));
  char tag[kTagDigits + 1];
  std::snprintf(tag, sizeof tag, "%08x", static_cast<unsigned>(rng()));
  return tag;
}

}  // namespace

// ".NAME.XXXXXXXX<suffix>" beside `target`. It must stay a legal name (255
// bytes) when NAME is one already: a long NAME is shortened, never inside a
// UTF-8 character.
std::string TempFile::NameBeside(const std::string& target, const std::string& suffix) {
  std::size_t slash = target.find_last_of("/\\");
  std::string dir = slash == std::string::npos ? "" : target.substr(0, slash + 1);
  std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
  const std::size_t room = kMaxNameBytes - 1 - 1 - kTagDigits - suffix.size();
  if (name.size() > room) {
    std::size_t cut = room;
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xc0) == 0x80) --cut;
    name.resize(cut);
  }
  return dir + "." + name + "." + RandomTag() + suffix;
}

std::unique_ptr<TempFile> TempFile::Beside(const std::string& target, const std::string& suffix) {
  const std::size_t slash = target.find_last_of("/\\");
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
  int fd = -1;
  if (std::string path = CreateUnnamedFile(folder, &fd); !path.empty()) {
    std::unique_ptr<TempFile> t(new TempFile(path, -1, fd));
    t->suffix_ = suffix;
    return t;
  }
  for (int attempt = 0; attempt < 16; ++attempt) {
    std::string path = NameBeside(target, suffix);
    std::intptr_t handle = CreateTrackedFile(path);
    if (handle != -1) return std::unique_ptr<TempFile>(new TempFile(path, handle, -1));
  }
  return nullptr;
}

TempFile::TempFile(std::string path, std::intptr_t handle, int unnamed)
    : path_(std::move(path)), handle_(handle), unnamed_(unnamed), named_(unnamed < 0) {}

std::string TempFile::NameForLibrary() {
  std::basic_string<KivPathChar> unused;
  if (Utf8ToPath(path_, &unused)) return path_;
  if (reopened_ >= 0) CloseUnnamedFile(reopened_);
  return DescriptorName(path_, &reopened_);
}

TempFile::~TempFile() {
  if (reopened_ >= 0) CloseUnnamedFile(reopened_);
  if (unnamed_ >= 0) CloseUnnamedFile(unnamed_);  // an unnamed file goes with its last descriptor
  if (!renamed_ && named_) {
    std::error_code ec;
    std::filesystem::remove(FsPath(path_), ec);
  }
  UntrackFile(handle_);
}

int TempFile::RenameTo(const std::string& target, bool existed, std::string* error, bool keep_existing,
                       EditLock* held) {
  // The name itself, not what a link there leads to: the caller resolved
  // links already, and a link in its place now is not to be replaced blindly.
  std::error_code ec;
  const bool exists = std::filesystem::exists(std::filesystem::symlink_status(FsPath(target), ec));
  if (exists && keep_existing) return kKeptExisting;
  if (!exists || !existed) {
    // A new name: taken only while nothing has it. A file that appeared
    // there during the job is another program's, not one to replace.
    bool taken = false;
    if (unnamed_ >= 0 ? LinkUnnamedFile(unnamed_, target, &taken) : RenameWithoutReplacing(path_, target, &taken)) {
      renamed_ = true;
      return 0;
    }
    if (taken && keep_existing) return kKeptExisting;
    *error = taken ? "the output appeared while it was being written (another program?)" : std::strerror(errno);
    return taken ? KIV_ERR_ARGUMENT : KIV_ERR_OUTPUT_CREATE;
  }
  // An unnamed file is given a name beside the target first, to rename.
  if (unnamed_ >= 0) {
    bool taken = true;
    std::string named;
    for (int attempt = 0; attempt < 16 && taken; ++attempt) {
      named = NameBeside(target, suffix_);
      if (!LinkUnnamedFile(unnamed_, named, &taken) && !taken) {
        *error = std::strerror(errno);
        return KIV_ERR_OUTPUT_CREATE;
      }
    }
    if (taken) {
      *error = "no free name beside the output";
      return KIV_ERR_OUTPUT_CREATE;
    }
    named_ = true;  // removed by that name if the rename fails
    path_ = named;
  }
  // The writers' lock on the file replaced is held through the rename: a
  // recording could not start on it in between and go on into a file that
  // is no longer there.
  EditLock taken_now;
  const bool still_held = held != nullptr && LockStillOn(*held, target);
  if (!still_held) taken_now = LockForEditing(target);
  EditLock& lock = still_held ? *held : taken_now;
  if (lock.being_written) {
    *error = kOutputBeingWritten;
    return KIV_ERR_ARGUMENT;
  }
  // The file replaced keeps its mode (a private 0600 stays private) and,
  // where the user may set it, its owner.
  KeepOwnerAndMode(target, path_);
#if defined(_WIN32)
  UnlockAfterEditing(lock);  // an open handle would keep Windows from replacing the file
  lock.handle = -1;
#endif
  std::filesystem::rename(FsPath(path_), FsPath(target), ec);
#if !defined(_WIN32)
  UnlockAfterEditing(lock);
  lock.handle = -1;
#endif
  if (ec) {
    *error = ec.message();
    return KIV_ERR_OUTPUT_CREATE;
  }
  renamed_ = true;
  return 0;
}

}  // namespace kiv::tool
