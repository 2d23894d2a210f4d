#include "byte_source.h"

#include <cstring>
#include <filesystem>

#include "utf8_path.h"

namespace kiv::tool {

bool MemoryBytes::Read(std::uint64_t offset, void* dst, std::size_t n) const {
  if (offset > size_ || n > size_ - offset) return false;
  if (n > 0) std::memcpy(dst, data_ + offset, n);
  return true;
}

FileBytes::FileBytes(const std::string& path) {
  std::error_code ec;
  if (std::filesystem::is_directory(FsPath(path), ec)) return;
  in_.open(FsPath(path), std::ios::binary | std::ios::ate);
  if (!in_) return;
  std::streamoff end = in_.tellg();
  if (end < 0) return;
  size_ = static_cast<std::uint64_t>(end);
  ok_ = true;
}

bool FileBytes::Read(std::uint64_t offset, void* dst, std::size_t n) const {
  if (!ok_ || offset > size_ || n > size_ - offset) return false;
  in_.clear();
  in_.seekg(static_cast<std::streamoff>(offset));
  in_.read(static_cast<char*>(dst), static_cast<std::streamsize>(n));
  return static_cast<std::size_t>(in_.gcount()) == n;
}

}  // namespace kiv::tool
