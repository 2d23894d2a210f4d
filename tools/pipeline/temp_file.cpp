#include "pipeline/temp_file.h"

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <random>

#include "platform/console.h"
#include "platform/utf8_path.h"

namespace kiv::tool {
namespace {

std::string RandomTag() {
  static std::atomic<unsigned> counter{0};
  static const unsigned seed = std::random_device{}();
  std::minstd_rand rng(seed ^ (counter.fetch_add(1) * 2654435761u));
  char tag[9];
  std::snprintf(tag, sizeof tag, "%08x", static_cast<unsigned>(rng()));
  return tag;
}

}  // namespace

std::unique_ptr<TempFile> TempFile::Beside(const std::string& target, const std::string& suffix, bool fifo) {
  std::size_t slash = target.find_last_of("/\\");
  std::string dir = slash == std::string::npos ? "" : target.substr(0, slash + 1);
  std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
  for (int attempt = 0; attempt < 16; ++attempt) {
    std::string path = dir + "." + name + "." + RandomTag() + suffix;
    if (fifo ? CreateNewFifo(path) : CreateNewFile(path)) return std::unique_ptr<TempFile>(new TempFile(path));
  }
  return nullptr;
}

TempFile::TempFile(std::string path) : path_(std::move(path)), slot_(TrackFile(path_)) {}

TempFile::~TempFile() {
  if (!renamed_) {
    std::error_code ec;
    std::filesystem::remove(FsPath(path_), ec);
  }
  UntrackFile(slot_);
}

bool TempFile::RenameTo(const std::string& target, std::string* error) {
  std::error_code ec;
  std::filesystem::rename(FsPath(path_), FsPath(target), ec);
  if (ec) {
    *error = ec.message();
    return false;
  }
  renamed_ = true;
  return true;
}

}  // namespace kiv::tool
