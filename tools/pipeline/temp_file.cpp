// SPDX-License-Identifier: MIT
#include "pipeline/temp_file.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <random>

#include "kivgsm.h"
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

std::unique_ptr<TempFile> TempFile::Beside(const std::string& target, const std::string& suffix) {
  std::size_t slash = target.find_last_of("/\\");
  std::string dir = slash == std::string::npos ? "" : target.substr(0, slash + 1);
  std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
  // ".NAME.XXXXXXXX.suffix" must stay a legal name (255 bytes) when NAME
  // is one already: a long NAME is shortened, never inside a UTF-8
  // character.
  const std::size_t room = kMaxNameBytes - 1 - 1 - kTagDigits - suffix.size();
  if (name.size() > room) {
    std::size_t cut = room;
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xc0) == 0x80) --cut;
    name.resize(cut);
  }
  for (int attempt = 0; attempt < 16; ++attempt) {
    std::string path = dir + "." + name + "." + RandomTag() + suffix;
    std::intptr_t handle = CreateTrackedFile(path);
    if (handle != -1) return std::unique_ptr<TempFile>(new TempFile(path, handle));
  }
  return nullptr;
}

TempFile::TempFile(std::string path, std::intptr_t handle) : path_(std::move(path)), handle_(handle) {}

TempFile::~TempFile() {
  if (!renamed_) {
    std::error_code ec;
    std::filesystem::remove(FsPath(path_), ec);
  }
  UntrackFile(handle_);
}

int TempFile::RenameTo(const std::string& target, std::string* error) {
  constexpr char kBusy[] = "the output is being written by another program";
  if (!std::filesystem::exists(FsPath(target))) {
    // A new name: taken only while nothing has it.
    bool taken = false;
    if (RenameWithoutReplacing(path_, target, &taken)) {
      renamed_ = true;
      return 0;
    }
    *error = taken ? "the output appeared while it was being written (another program?)" : std::strerror(errno);
    return taken ? KIV_ERR_ARGUMENT : KIV_ERR_OUTPUT_CREATE;
  }
  // The writers' lock on the file replaced is held through the rename: a
  // recording could not start on it in between and go on into a file that
  // is no longer there.
  EditLock lock = LockForEditing(target);
  if (lock.being_written) {
    *error = kBusy;
    return KIV_ERR_ARGUMENT;
  }
  // The file replaced keeps its mode (a private 0600 stays private) and,
  // where the user may set it, its owner.
  KeepOwnerAndMode(target, path_);
#if defined(_WIN32)
  UnlockAfterEditing(lock);  // an open handle would keep Windows from replacing the file
#endif
  std::error_code ec;
  std::filesystem::rename(FsPath(path_), FsPath(target), ec);
#if !defined(_WIN32)
  UnlockAfterEditing(lock);
#endif
  if (ec) {
    *error = ec.message();
    return KIV_ERR_OUTPUT_CREATE;
  }
  renamed_ = true;
  return 0;
}

}  // namespace kiv::tool
