// SPDX-License-Identifier: MIT
#include "pipeline/standard_output.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "io/buffered_stream.h"
#include "platform/console.h"
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

// The GSM header's fields that only a finished file can know, in a pipe:
// the RIFF and data sizes "to the end", the sample count unknown.
struct UnknownField {
  std::int64_t at;
  unsigned char value;
};
constexpr UnknownField kUnknownFields[] = {
    {kGsmRiffSizeOffset, 0xff}, {kGsmSampleCountOffset, 0x00}, {kGsmDataSizeOffset, 0xff}};

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
  unsigned char head[kGsmHeaderBytes];
  if (g_out.pos < kGsmHeaderBytes) {
    n = std::min<std::size_t>(n, kGsmHeaderBytes - static_cast<std::size_t>(g_out.pos));
    std::memcpy(head, p, n);
    for (const UnknownField& f : kUnknownFields)
      for (std::int64_t at = f.at; at < f.at + 4; ++at)
        if (at >= g_out.pos && at < g_out.pos + static_cast<std::int64_t>(n)) head[at - g_out.pos] = f.value;
    p = head;
  }
  const std::int64_t w = Write(kFd, p, n);
  if (w > 0) g_out.end = g_out.pos += w;
  return w;
}

std::int64_t RawSeek(std::intptr_t, std::int64_t offset, RawWhence whence) {
  if (g_out.seekable) {
    const std::int64_t at = whence == RawWhence::kStart ? g_out.base + offset : offset;
    const int how = whence == RawWhence::kStart ? SEEK_SET : whence == RawWhence::kEnd ? SEEK_END : SEEK_CUR;
    const std::int64_t r = Seek(kFd, at, how);
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

// Standard output stays open for the tool; in a regular file the offset
// is left at the end of the output, for whatever is written after it.
bool RawClose(std::intptr_t) { return !g_out.seekable || Seek(kFd, g_out.base + g_out.end, SEEK_SET) >= 0; }

constexpr RawFileOps kOps = {RawRead, RawWrite, RawSeek, RawTruncate, RawIdentify, RawClose};

FileStream* Open(const FileSystem*, const KivPathChar*, OpenMode mode, OutputOpen* why) {
  if (why != nullptr) *why = OutputOpen::kCannotCreate;
  if (mode != OpenMode::kWrite) return nullptr;
  g_out = Output{};
  g_out.seekable = StandardOutputIsSeekable();
  if (g_out.seekable && !CutStandardOutputHere()) return nullptr;
  if (why != nullptr) *why = OutputOpen::kOpened;
  return NewBufferedStream(&kOps, 0);
}

NameLookup Identify(const FileSystem*, const KivPathChar*, FileIdentity* id) {
  return RawIdentify(0, id) ? NameLookup::kFound : NameLookup::kFailed;
}

constexpr FileSystem kStandardOutput = {Open, Identify, nullptr};

}  // namespace

std::string StandardOutputRefusal() {
  if (StandardStreamWasClosed(kFd)) return "standard output is closed";
  if (IsTerminal(kFd)) return "standard output is a terminal; redirect it to a file or a pipe";
  return "";
}

bool StandardOutputIsFile(const std::string& path) { return path != "-" && IsStandardStream(path, kFd); }

bool StandardOutputIsSeekable() {
#if defined(_WIN32)
  _setmode(kFd, _O_BINARY);
#endif
  StatBuf st{};
  return Fstat(kFd, &st) == 0 && (st.st_mode & S_IFMT) == S_IFREG && !Appending(kFd);
}

const FileSystem* StandardOutputFileSystem() { return &kStandardOutput; }

std::uint64_t StandardOutputBytes() { return static_cast<std::uint64_t>(g_out.end); }

void DiscardStandardOutput() {
  if (!g_out.seekable || !Truncate(kFd, g_out.base)) return;
  Seek(kFd, g_out.base, SEEK_SET);
  g_out.end = 0;
}

bool CutStandardOutputHere() {
  const std::int64_t here = Seek(kFd, 0, SEEK_CUR);
  if (here < 0 || !Truncate(kFd, here)) return false;
  g_out.seekable = true;
  g_out.base = here;
  return true;
}

bool WriteStandardOutput(const void* bytes, std::size_t n) {
#if defined(_WIN32)
  _setmode(kFd, _O_BINARY);
#endif
  const auto* p = static_cast<const unsigned char*>(bytes);
  while (n > 0) {
    const std::int64_t w = Write(kFd, p, n);
    if (w <= 0) return false;
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

}  // namespace kiv::tool
