// SPDX-License-Identifier: MIT
#include "pipeline/standard_output.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "io/buffered_stream.h"
#include "wave_format.h"
#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

namespace kiv::tool {
namespace {

#if defined(_WIN32)
using StatBuf = struct _stat64;
int Fstat(int fd, StatBuf* st) { return _fstat64(fd, st); }
std::int64_t Write(int fd, const void* p, std::size_t n) { return _write(fd, p, static_cast<unsigned>(n)); }
std::int64_t Seek(int fd, std::int64_t at, int whence) { return _lseeki64(fd, at, whence); }
bool Truncate(int fd, std::int64_t length) { return _chsize_s(fd, length) == 0; }
bool Appending(int) { return false; }
#else
using StatBuf = struct stat;
int Fstat(int fd, StatBuf* st) { return fstat(fd, st); }
std::int64_t Write(int fd, const void* p, std::size_t n) {
  for (;;) {
    const ssize_t w = write(fd, p, n);
    if (w >= 0 || errno != EINTR) return w;
  }
}
std::int64_t Seek(int fd, std::int64_t at, int whence) { return lseek(fd, static_cast<off_t>(at), whence); }
bool Truncate(int fd, std::int64_t length) { return ftruncate(fd, static_cast<off_t>(length)) == 0; }
bool Appending(int fd) { return (fcntl(fd, F_GETFL) & O_APPEND) != 0; }
#endif

constexpr int kFd = 1;

// Standard output as one stream. `base` is where the output starts in a
// regular file (a shell may have written before it); in a pipe, `pos` runs
// behind `end` while the writer rewrites what has already gone.
struct Output {
  bool seekable = false;
  std::int64_t base = 0;
  std::int64_t pos = 0;
  std::int64_t end = 0;
} g_out;

std::int64_t RawRead(std::intptr_t, void*, std::size_t) { return -1; }

std::int64_t RawWrite(std::intptr_t, const void* src, std::size_t n) {
  if (g_out.seekable) {
    const std::int64_t w = Write(kFd, src, n);
    if (w > 0) g_out.end = std::max(g_out.end, Seek(kFd, 0, SEEK_CUR) - g_out.base);
    return w;
  }
  const auto* p = static_cast<const unsigned char*>(src);
  const std::int64_t gone = std::min<std::int64_t>(static_cast<std::int64_t>(n), g_out.end - g_out.pos);
  if (gone > 0) {  // already sent: dropped
    g_out.pos += gone;
    return gone;
  }
  // The sizes in the header cannot be finished later: they go out as
  // 0xFFFFFFFF, which readers take as "to the end of the stream" (the
  // provisional values would stop them after 2,000,000 bytes), and which
  // `repair` finishes.
  unsigned char head[kGsmHeaderBytes];
  if (g_out.pos < kGsmHeaderBytes) {
    n = std::min<std::size_t>(n, kGsmHeaderBytes - static_cast<std::size_t>(g_out.pos));
    std::memcpy(head, p, n);
    for (std::int64_t field : {std::int64_t{4}, std::int64_t{kGsmHeaderBytes - 4}})
      for (std::int64_t at = field; at < field + 4; ++at)
        if (at >= g_out.pos && at < g_out.pos + static_cast<std::int64_t>(n)) head[at - g_out.pos] = 0xff;
    p = head;
  }
  const std::int64_t w = Write(kFd, p, n);
  if (w > 0) g_out.end = g_out.pos += w;
  return w;
}

std::int64_t RawSeek(std::intptr_t, std::int64_t offset, RawWhence whence) {
  if (g_out.seekable) {
    const std::int64_t at = whence == RawWhence::kStart ? g_out.base + offset : offset;
    const std::int64_t r = Seek(kFd, at, whence == RawWhence::kStart ? SEEK_SET : whence == RawWhence::kEnd ? SEEK_END : SEEK_CUR);
    return r < 0 ? -1 : r - g_out.base;
  }
  const std::int64_t from = whence == RawWhence::kStart ? 0 : whence == RawWhence::kEnd ? g_out.end : g_out.pos;
  if (from + offset < 0 || from + offset > g_out.end) return -1;
  return g_out.pos = from + offset;
}

bool RawTruncate(std::intptr_t, std::int64_t length) {
  if (!g_out.seekable) return length == g_out.end;  // what was sent stays sent
  if (!Truncate(kFd, g_out.base + length)) return false;
  g_out.end = length;
  return true;
}

bool RawIdentify(std::intptr_t, FileIdentity* id) {
  StatBuf st{};
  if (Fstat(kFd, &st) != 0) return false;
  *id = FileIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino), false};
  return true;
}

bool RawClose(std::intptr_t) { return true; }  // standard output stays open for the tool

constexpr RawFileOps kOps = {RawRead, RawWrite, RawSeek, RawTruncate, RawIdentify, RawClose};

FileStream* Open(const FileSystem*, const KivPathChar*, OpenMode mode, OutputOpen* why) {
  if (why != nullptr) *why = OutputOpen::kCannotCreate;
  if (mode != OpenMode::kWrite) return nullptr;
#if defined(_WIN32)
  _setmode(kFd, _O_BINARY);
#endif
  StatBuf st{};
  if (Fstat(kFd, &st) != 0) return nullptr;
  g_out = Output{};
  g_out.seekable = StandardOutputIsSeekable();
  if (g_out.seekable) {
    g_out.base = Seek(kFd, 0, SEEK_CUR);
    if (g_out.base < 0 || !Truncate(kFd, g_out.base)) return nullptr;
  }
  if (why != nullptr) *why = OutputOpen::kOpened;
  return NewBufferedStream(&kOps, 0);
}

bool Identify(const FileSystem*, const KivPathChar*, FileIdentity* id) { return RawIdentify(0, id); }

constexpr FileSystem kStandardOutput = {Open, Identify, nullptr};

}  // namespace

const FileSystem* StandardOutputFileSystem() { return &kStandardOutput; }

bool StandardOutputIsTerminal() {
#if defined(_WIN32)
  return _isatty(kFd) != 0;
#else
  return isatty(kFd) != 0;
#endif
}

bool StandardOutputIsSeekable() {
  StatBuf st{};
  return Fstat(kFd, &st) == 0 && (st.st_mode & S_IFMT) == S_IFREG && !Appending(kFd);
}

std::uint64_t StandardOutputBytes() { return static_cast<std::uint64_t>(g_out.end); }

}  // namespace kiv::tool
