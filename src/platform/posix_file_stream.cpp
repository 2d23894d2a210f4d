// SPDX-License-Identifier: MIT
// The file layer on POSIX systems: file descriptors under the shared
// buffering. The caller's UTF-16 path becomes a UTF-8 file name, strictly.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>

#include "io/buffered_stream.h"
#include "io/file_stream.h"
#include "io/utf16_path.h"

// Positions are 64-bit all the way down; a 32-bit build needs
// _FILE_OFFSET_BITS=64 (set by the build) for that.
static_assert(sizeof(off_t) == 8, "build with _FILE_OFFSET_BITS=64");

namespace kiv {
namespace {

int Fd(std::intptr_t file) { return static_cast<int>(file); }

std::int64_t RawRead(std::intptr_t file, void* dst, std::size_t n) {
  for (;;) {
    ssize_t r = ::read(Fd(file), dst, n);
    if (r >= 0 || errno != EINTR) return r;
  }
}

std::int64_t RawWrite(std::intptr_t file, const void* src, std::size_t n) {
  for (;;) {
    ssize_t w = ::write(Fd(file), src, n);
    if (w >= 0 || errno != EINTR) return w;
  }
}

std::int64_t RawSeek(std::intptr_t file, std::int64_t offset, RawWhence whence) {
  int w = whence == RawWhence::kStart ? SEEK_SET : whence == RawWhence::kCurrent ? SEEK_CUR : SEEK_END;
  return ::lseek(Fd(file), static_cast<off_t>(offset), w);
}

// Cuts the file to `length` bytes. One already that long is left alone:
// on ext4 a truncation to zero makes the close write the file's blocks out
// at once (its guard for files replaced by truncating them), which a new,
// empty output does not need.
bool CutTo(int fd, off_t length) {
  struct stat st;
  if (::fstat(fd, &st) == 0 && st.st_size == length) return true;
  return ::ftruncate(fd, length) == 0;
}

bool RawTruncate(std::intptr_t file, std::int64_t length) { return CutTo(Fd(file), static_cast<off_t>(length)); }

void FromStat(const struct stat& st, FileIdentity* id) {
  id->device = static_cast<std::uint64_t>(st.st_dev);
  id->inode = static_cast<std::uint64_t>(st.st_ino);
  id->is_directory = S_ISDIR(st.st_mode);
}

bool RawIdentify(std::intptr_t file, FileIdentity* id) {
  struct stat st;
  if (::fstat(Fd(file), &st) != 0) return false;
  FromStat(st, id);
  return true;
}

bool RawClose(std::intptr_t file) { return ::close(Fd(file)) == 0; }

const RawFileOps kRawOps = {RawRead, RawWrite, RawSeek, RawTruncate, RawIdentify, RawClose};


#if defined(F_OFD_SETLK)
constexpr int kSetLock = F_OFD_SETLK;
#else
// Without open file description locks, a record lock of the process's:
// other processes are still kept out, and the output registry keeps out
// a second writer in this one.
constexpr int kSetLock = F_SETLK;
#endif

// Takes the writer's lock on the regular file `fd` and only then empties
// it, unless `empty` is false or it is already empty, so that a file that
// another writer holds is left as it was. The lock
// covers the whole file however long it grows, and belongs to this open
// file: another open of the file, in this process or any other, conflicts
// with it, and it goes when the stream is closed or the process ends. It
// is advisory: programs that take no lock are not stopped. Where the file
// system has no locks at all, the output is written without one.
OutputOpen LockAndEmpty(int fd, bool empty) {
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;  // l_start = l_len = 0: the whole file
  int r;
  do {
    r = ::fcntl(fd, kSetLock, &lock);
  } while (r != 0 && errno == EINTR);
  if (r != 0 && (errno == EAGAIN || errno == EACCES)) return OutputOpen::kInUse;
  return !empty || CutTo(fd, 0) ? OutputOpen::kOpened : OutputOpen::kCannotCreate;
}

// The major number of Linux's memory devices (/dev/null, /dev/zero, /dev/full).
constexpr unsigned kMemoryDevices = 1;

FileStream* Open(const FileSystem*, const KivPathChar* path, OpenMode mode, OutputOpen* why) {
  OutputOpen ignored;
  OutputOpen* result = why != nullptr ? why : &ignored;
  *result = OutputOpen::kCannotCreate;
  const Utf8FileName name(path);
  if (name.c_str() == nullptr) return nullptr;
  // An output is opened without blocking (a FIFO with no reader fails at
  // once instead of hanging) and must be able to seek, because a WAVE file
  // is finished by rewriting its header: FIFOs, sockets and terminals are
  // refused before anything is written. /dev/null and /dev/full seek, and
  // take any number of writers: only regular files are locked. An output
  // is emptied once it is locked, not by the open.
  // What the name already is is looked at first, without opening it: an
  // open of a FIFO would hand its reader an end of file when it is closed
  // again, and one of a tape or a serial line could rewind the tape or
  // hang up the line. Only a regular file, a new name, or one of the
  // memory devices (/dev/null, /dev/full) is opened for writing.
  const bool writing = mode != OpenMode::kRead;
  if (writing) {
    struct stat named;
    if (::stat(name.c_str(), &named) == 0 && !S_ISREG(named.st_mode) &&
        !(S_ISCHR(named.st_mode) && major(named.st_rdev) == kMemoryDevices))
      return nullptr;
  }
  int flags = !writing ? O_RDONLY : (O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY);
  int fd;
  do {
    fd = ::open(name.c_str(), flags | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return nullptr;
  if (writing) {
    struct stat st;
    bool seekable = ::fstat(fd, &st) == 0 && !S_ISFIFO(st.st_mode) && !S_ISSOCK(st.st_mode) && !::isatty(fd) &&
                    ::lseek(fd, 0, SEEK_CUR) >= 0;
    if (!seekable || ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
      ::close(fd);
      return nullptr;
    }
  }
  // The stream's memory comes before the file is emptied: an open that
  // fails leaves the file as it was.
  FileStream* s = NewBufferedStream(&kRawOps, fd);
  if (s == nullptr) return nullptr;
  if (writing) {
    struct stat st;
    OutputOpen locked = ::fstat(fd, &st) != 0 ? OutputOpen::kCannotCreate
                        : S_ISREG(st.st_mode)  ? LockAndEmpty(fd, mode == OpenMode::kWrite)
                                               : OutputOpen::kOpened;
    if (locked != OutputOpen::kOpened) {
      StreamClose(s);
      *result = locked;
      return nullptr;
    }
  }
  *result = OutputOpen::kOpened;
  return s;
}

NameLookup IdentifyName(const FileSystem*, const KivPathChar* path, FileIdentity* id) {
  const Utf8FileName name(path);
  struct stat st;
  if (name.c_str() == nullptr) return NameLookup::kFailed;
  if (::stat(name.c_str(), &st) != 0) return errno == ENOENT || errno == ENOTDIR ? NameLookup::kAbsent : NameLookup::kFailed;
  FromStat(st, id);
  return NameLookup::kFound;
}

const FileSystem kPosixFileSystem = {Open, IdentifyName, nullptr};

}  // namespace

const FileSystem* DefaultFileSystem() { return &kPosixFileSystem; }

}  // namespace kiv
