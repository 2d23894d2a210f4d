// SPDX-License-Identifier: MIT
#include "pipeline/input_stream.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "platform/console.h"
#include "platform/utf8_path.h"
#include <fcntl.h>
#include <sys/stat.h>
#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace kiv::tool {
namespace {

#if defined(_WIN32)
int SeekTo(std::FILE* f, std::int64_t at) { return _fseeki64(f, at, SEEK_SET); }
std::int64_t Position(std::FILE* f) { return _ftelli64(f); }
#else
int SeekTo(std::FILE* f, std::int64_t at) { return fseeko(f, static_cast<off_t>(at), SEEK_SET); }
std::int64_t Position(std::FILE* f) { return static_cast<std::int64_t>(ftello(f)); }
#endif

constexpr char kNotReadable[] = "not a file, pipe or FIFO that can be read";

#if defined(_WIN32)
std::FILE* OpenNamed(const std::string& name, bool* regular, std::int64_t* size, std::string* why) {
  std::error_code ec;
  auto status = std::filesystem::status(FsPath(name), ec);
  if (!std::filesystem::exists(status)) {
    *why = "no such file";
    return nullptr;
  }
  if (!std::filesystem::is_regular_file(status)) {
    *why = kNotReadable;
    return nullptr;
  }
  std::FILE* f = OpenFile(name, "rb");
  if (f == nullptr) {
    *why = std::strerror(errno);
    return nullptr;
  }
  *regular = true;
  *size = static_cast<std::int64_t>(std::filesystem::file_size(FsPath(name), ec));
  return f;
}
#else
// What the name is is looked at before any open: a device is never opened
// (a tape is not rewound, a serial line not hung up), and a FIFO is opened
// once, the ordinary way, which waits for its writer. (A second, passing
// open of a FIFO would let a writer waiting in its own open through, and
// whatever it wrote before that open closed again would be lost.)
std::FILE* OpenNamed(const std::string& name, bool* regular, std::int64_t* size, std::string* why) {
  struct stat st {};
  if (::stat(name.c_str(), &st) != 0) {
    *why = std::strerror(errno);
    return nullptr;
  }
  if (!S_ISREG(st.st_mode) && !S_ISFIFO(st.st_mode)) {
    *why = S_ISDIR(st.st_mode) ? "a folder, not a file" : kNotReadable;
    return nullptr;
  }
  // An open waiting for a FIFO's writer ends for a stop request only.
  const int fd = OpenForReading(name, O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    *why = std::strerror(errno);
    return nullptr;
  }
  // The name may have been given to something else in between.
  if (::fstat(fd, &st) != 0 || (!S_ISREG(st.st_mode) && !S_ISFIFO(st.st_mode))) {
    *why = kNotReadable;
    ::close(fd);
    return nullptr;
  }
  *regular = S_ISREG(st.st_mode);
  *size = st.st_size;
  std::FILE* f = ::fdopen(fd, "rb");
  if (f == nullptr) {
    *why = std::strerror(errno);
    ::close(fd);
  }
  return f;
}
#endif

bool IsRegularStream(std::FILE* f, std::int64_t* size) {
#if defined(_WIN32)
  struct _stati64 st {};
  if (_fstati64(_fileno(f), &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG) return false;
#else
  struct stat st {};
  if (::fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) return false;
#endif
  *size = st.st_size;
  return true;
}

}  // namespace

std::unique_ptr<InputStream> InputStream::Open(const std::string& name, std::string* why) {
  std::FILE* file = nullptr;
  bool owned = true, regular = false;
  std::int64_t size = -1;
  if (name == "-") {
    // Closed by the caller (the tool opened /dev/null in its place): no
    // input at all, not an empty one.
    if (StandardStreamWasClosed(0)) {
      *why = "standard input is closed";
      return nullptr;
    }
    // Nobody types audio: at a terminal, "-" would wait for keys and take
    // them for samples.
    if (IsTerminal(0)) {
      *why = "standard input is a terminal; pipe the audio in, or name a file";
      return nullptr;
    }
#if defined(_WIN32)
    _setmode(_fileno(stdin), _O_BINARY);
#endif
    file = stdin;
    owned = false;
    regular = IsRegularStream(stdin, &size);
    // Standard input redirected from a file may stand anywhere in it; it is
    // read from there, as any program reading it would.
    if (regular) {
      if (Position(stdin) > 0) regular = false;
    }
  } else {
    file = OpenNamed(name, &regular, &size, why);
    if (file == nullptr) return nullptr;
  }
  if (!regular) size = -1;
  std::unique_ptr<InputStream> in(new InputStream(file, owned, regular, size));
  in->head_size_ = in->ReadFile(in->head_.data(), kHeadBytes);
  in->file_pos_ = static_cast<std::int64_t>(in->head_size_);
  return in;
}

InputStream::InputStream(std::FILE* file, bool owned, bool seekable, std::int64_t size)
    : file_(file), owned_(owned), seekable_(seekable), size_(size), head_(kHeadBytes) {}

InputStream::~InputStream() {
  if (owned_) std::fclose(file_);
}

// A read that a signal cut short goes on, unless a stop was requested.
std::size_t InputStream::ReadFile(void* dst, std::size_t n) {
  auto* p = static_cast<unsigned char*>(dst);
  std::size_t got = 0;
  while (got < n) {
    got += std::fread(p + got, 1, n - got, file_);
    if (got == n || !std::ferror(file_)) break;
    if (errno != EINTR || StopRequest() != 0) {
      failed_ = true;
      break;
    }
    std::clearerr(file_);
  }
  return got;
}

std::size_t InputStream::Read(void* dst, std::size_t n) {
  auto* out = static_cast<unsigned char*>(dst);
  std::size_t done = 0;
  // Bytes still in the kept head come from there.
  if (pos_ < static_cast<std::int64_t>(head_size_)) {
    done = std::min(n, head_size_ - static_cast<std::size_t>(pos_));
    std::memcpy(out, head_.data() + pos_, done);
    pos_ += static_cast<std::int64_t>(done);
  }
  if (done == n) return n;
  if (file_pos_ != pos_) {
    if (!seekable_ || SeekTo(file_, pos_) != 0) return done;
    file_pos_ = pos_;
  }
  const std::size_t got = ReadFile(out + done, n - done);
  pos_ += static_cast<std::int64_t>(got);
  file_pos_ = pos_;
  return done + got;
}

std::uint64_t InputStream::Skip(std::uint64_t n) {
  if (seekable_) {
    const std::uint64_t left = static_cast<std::uint64_t>(std::max<std::int64_t>(size_ - pos_, 0));
    const std::uint64_t skipped = std::min(n, left);
    pos_ += static_cast<std::int64_t>(skipped);
    return skipped;
  }
  char buffer[16384];
  std::uint64_t skipped = 0;
  while (skipped < n) {
    const std::size_t got = Read(buffer, static_cast<std::size_t>(std::min<std::uint64_t>(n - skipped, sizeof buffer)));
    if (got == 0) break;
    skipped += got;
  }
  return skipped;
}

bool InputStream::ExtendHead(std::size_t bytes) {
  if (seekable_ || bytes <= head_.size() || head_size_ < head_.size() ||
      file_pos_ != static_cast<std::int64_t>(head_size_))
    return false;
  head_.resize(bytes);
  head_size_ += ReadFile(head_.data() + head_size_, bytes - head_size_);
  file_pos_ = static_cast<std::int64_t>(head_size_);
  return true;
}

bool InputStream::Seek(std::int64_t offset) {
  if (offset < 0) return false;
  if (!seekable_ && offset > static_cast<std::int64_t>(head_size_)) return false;
  if (!seekable_ && pos_ > static_cast<std::int64_t>(head_size_) && offset != pos_) return false;
  pos_ = offset;
  return true;
}

}  // namespace kiv::tool
