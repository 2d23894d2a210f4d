// FileSystem over POSIX file descriptors with a fixed 64 KiB buffer per
// stream. Unlike stdio, a failed write is known exactly: bytes that the
// kernel refused are dropped from the buffer and the stream is marked failed,
// so a later seek to the end measures what really reached the file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include "formats/file_stream.h"
#include "formats/utf16_path.h"

namespace kiv {
namespace {

constexpr std::size_t kBufferBytes = 64 * 1024;

struct PosixStream {
  FileStream base;
  int fd;
  bool writing;     // buffer holds pending output (else read-ahead input)
  bool failed;
  std::size_t begin;  // read: next unread byte
  std::size_t end;    // read: end of valid bytes; write: end of pending bytes
  unsigned char buffer[kBufferBytes];
};

PosixStream* Cast(FileStream* s) { return reinterpret_cast<PosixStream*>(s); }

bool WriteAll(int fd, const unsigned char* p, std::size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (w == 0) return false;
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

// Writes out pending output. On failure the rest is dropped, never retried.
bool FlushPending(PosixStream* s) {
  bool ok = true;
  if (s->writing && s->end > 0) ok = WriteAll(s->fd, s->buffer, s->end);
  if (!ok) s->failed = true;
  s->end = 0;
  return ok;
}

// Gives back read-ahead so that the descriptor's offset is the logical one.
void DropReadAhead(PosixStream* s) {
  if (!s->writing && s->end > s->begin) {
    ::lseek(s->fd, -static_cast<off_t>(s->end - s->begin), SEEK_CUR);
  }
  s->begin = s->end = 0;
}

std::size_t Read(FileStream* fs, void* dst, std::size_t size, std::size_t count) {
  PosixStream* s = Cast(fs);
  if (size == 0 || count == 0) return 0;
  if (s->writing && !FlushPending(s)) return 0;
  s->writing = false;
  unsigned char* out = static_cast<unsigned char*>(dst);
  std::size_t wanted = size * count;
  std::size_t got = 0;
  while (got < wanted) {
    if (s->begin == s->end) {
      ssize_t r = ::read(s->fd, s->buffer, kBufferBytes);
      if (r < 0) {
        if (errno == EINTR) continue;
        s->failed = true;
        break;
      }
      if (r == 0) break;
      s->begin = 0;
      s->end = static_cast<std::size_t>(r);
    }
    std::size_t take = s->end - s->begin;
    if (take > wanted - got) take = wanted - got;
    std::memcpy(out + got, s->buffer + s->begin, take);
    s->begin += take;
    got += take;
  }
  return got / size;
}

std::size_t Write(FileStream* fs, const void* src, std::size_t size, std::size_t count) {
  PosixStream* s = Cast(fs);
  if (size == 0 || count == 0) return 0;
  if (!s->writing) DropReadAhead(s);
  s->writing = true;
  const unsigned char* in = static_cast<const unsigned char*>(src);
  std::size_t total = size * count;
  std::size_t done = 0;
  while (done < total) {
    if (s->end == kBufferBytes && !FlushPending(s)) break;
    std::size_t room = kBufferBytes - s->end;
    std::size_t take = total - done < room ? total - done : room;
    std::memcpy(s->buffer + s->end, in + done, take);
    s->end += take;
    done += take;
  }
  return done == total ? count : done / size;
}

bool Seek(FileStream* fs, std::int64_t offset, SeekOrigin origin) {
  PosixStream* s = Cast(fs);
  bool ok = FlushPending(s);
  DropReadAhead(s);
  s->writing = false;
  off_t r = ::lseek(s->fd, static_cast<off_t>(offset), origin == SeekOrigin::kStart ? SEEK_SET : SEEK_END);
  return ok && r >= 0;
}

std::int64_t Tell(FileStream* fs) {
  PosixStream* s = Cast(fs);
  off_t pos = ::lseek(s->fd, 0, SEEK_CUR);
  if (pos < 0) return -1;
  if (s->writing) return pos + static_cast<off_t>(s->end);
  return pos - static_cast<off_t>(s->end - s->begin);
}

bool Truncate(FileStream* fs, std::int64_t length) {
  PosixStream* s = Cast(fs);
  bool ok = FlushPending(s);
  DropReadAhead(s);
  s->writing = false;
  if (::ftruncate(s->fd, static_cast<off_t>(length)) != 0) ok = false;
  return ::lseek(s->fd, 0, SEEK_END) >= 0 && ok;
}

bool Flush(FileStream* fs) { return FlushPending(Cast(fs)); }

bool Failed(FileStream* fs) { return Cast(fs)->failed; }

bool Identify(FileStream* fs, FileIdentity* id) {
  struct stat st;
  if (::fstat(Cast(fs)->fd, &st) != 0) return false;
  id->device = static_cast<std::uint64_t>(st.st_dev);
  id->inode = static_cast<std::uint64_t>(st.st_ino);
  id->is_directory = S_ISDIR(st.st_mode);
  return true;
}

bool Close(FileStream* fs) {
  PosixStream* s = Cast(fs);
  bool ok = FlushPending(s);
  if (::close(s->fd) != 0) ok = false;
  delete s;
  return ok;
}

const FileStreamMethods kMethods = {Read, Write, Seek, Tell, Truncate, Flush, Failed, Identify, Close};

// The caller's UTF-16 path as a UTF-8 file name; false if it has none
// (or memory ran out).
bool FileName(const KivPathChar* path, std::string* name) {
  try {
    return Utf16PathToUtf8(path, name);
  } catch (...) {
    return false;
  }
}

FileStream* Open(const FileSystem*, const KivPathChar* path, OpenMode mode) {
  std::string name;
  if (!FileName(path, &name)) return nullptr;
  int flags = mode == OpenMode::kRead ? O_RDONLY : (O_WRONLY | O_CREAT | O_TRUNC);
  int fd;
  do {
    fd = ::open(name.c_str(), flags | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return nullptr;
  PosixStream* s = new (std::nothrow) PosixStream;
  if (s == nullptr) {
    ::close(fd);
    return nullptr;
  }
  s->base.methods = &kMethods;
  s->fd = fd;
  s->writing = false;
  s->failed = false;
  s->begin = s->end = 0;
  return &s->base;
}

bool IdentifyName(const FileSystem*, const KivPathChar* path, FileIdentity* id) {
  std::string name;
  struct stat st;
  if (!FileName(path, &name) || ::stat(name.c_str(), &st) != 0) return false;
  id->device = static_cast<std::uint64_t>(st.st_dev);
  id->inode = static_cast<std::uint64_t>(st.st_ino);
  id->is_directory = S_ISDIR(st.st_mode);
  return true;
}

const FileSystem kPosixFileSystem = {Open, IdentifyName, nullptr};

}  // namespace

const FileSystem* DefaultFileSystem() { return &kPosixFileSystem; }

}  // namespace kiv
