// SPDX-License-Identifier: MIT
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>

#include "messages.h"
#include "platform/folder_case.h"

namespace kiv::tool {
namespace {

// statfs's f_type for file systems whose names ignore case.
constexpr std::uint32_t kCaseBlindFileSystems[] = {
    0x4d44,      // FAT (msdos, vfat)
    0x2011BAB0,  // exFAT
    0xFF534D42,  // CIFS
    0xFE534D42,  // SMB2/3
    0x517B,      // SMB
};

#ifndef FS_CASEFOLD_FL
#define FS_CASEFOLD_FL 0x40000000
#endif

bool IgnoresCase(const std::string& folder) {
  struct statfs fs {};
  if (::statfs(folder.c_str(), &fs) == 0) {
    for (std::uint32_t type : kCaseBlindFileSystems)
      if (static_cast<std::uint32_t>(fs.f_type) == type) return true;
  }
  // ext4 and F2FS: a folder's casefold attribute, inherited by new folders.
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  long flags = 0;
  const bool casefold = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_CASEFOLD_FL) != 0;
  ::close(fd);
  return casefold;
}

// The lower case of `c` where the case-blind file systems fold it.
char32_t Lower(char32_t c) {
  if (c >= U'A' && c <= U'Z') return c + 32;
  if ((c >= 0xC0 && c <= 0xDE && c != 0xD7) || (c >= 0x391 && c <= 0x3AB && c != 0x3A2) || (c >= 0x410 && c <= 0x42F))
    return c + 32;
  if (c >= 0x400 && c <= 0x40F) return c + 80;
  return c;
}

std::string Folded(const std::string& name) {
  std::string out;
  for (std::size_t i = 0; i < name.size();) {
    const std::size_t n = Utf8Length(name, i);
    if (n == 0) {  // not UTF-8: a byte as it is
      out += name[i++];
      continue;
    }
    const auto b = [&](std::size_t k) { return static_cast<char32_t>(static_cast<unsigned char>(name[i + k])); };
    char32_t c = n == 1 ? b(0) : n == 2 ? ((b(0) & 0x1F) << 6) | (b(1) & 0x3F) : 0;
    if (n == 1 || n == 2) {
      c = Lower(c);
      if (c < 0x80) {
        out += static_cast<char>(c);
      } else {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
      }
    } else {
      out.append(name, i, n);  // beyond two bytes nothing is folded
    }
    i += n;
  }
  return out;
}

}  // namespace

std::string NameAsTheFolderKnowsIt(const std::string& path) {
  namespace fs = std::filesystem;
  fs::path folder = fs::path(path).parent_path();
  std::error_code ec;
  while (!folder.empty() && !fs::is_directory(folder, ec)) folder = folder.parent_path();
  if (!IgnoresCase(folder.empty() ? std::string(".") : folder.string())) return path;
  const std::size_t slash = path.rfind('/');
  const std::size_t last = slash == std::string::npos ? 0 : slash + 1;
  return path.substr(0, last) + Folded(path.substr(last));
}

}  // namespace kiv::tool
