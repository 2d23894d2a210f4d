// SPDX-License-Identifier: MIT
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <ios>
#include <streambuf>

#include "platform/console.h"
#include "platform/list_input.h"

namespace kiv::tool {
namespace {

// A descriptor's bytes, read with read(2) itself: a read interrupted by a
// signal is tried again unless a stop has been requested.
class DescriptorBuffer : public std::streambuf {
 public:
  DescriptorBuffer(int fd, bool owned) : fd_(fd), owned_(owned) {}
  ~DescriptorBuffer() override {
    if (owned_) ::close(fd_);
  }
  DescriptorBuffer(const DescriptorBuffer&) = delete;
  DescriptorBuffer& operator=(const DescriptorBuffer&) = delete;

 protected:
  int_type underflow() override {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    for (;;) {
      const ssize_t n = ::read(fd_, buffer_, sizeof buffer_);
      if (n > 0) {
        setg(buffer_, buffer_, buffer_ + n);
        return traits_type::to_int_type(*gptr());
      }
      if (n == 0) return traits_type::eof();
      // The istream reading this sets badbit when its buffer throws.
      if (errno != EINTR || StopRequest() != 0) throw std::ios_base::failure("cannot read the list");
    }
  }

 private:
  int fd_;
  bool owned_;
  char buffer_[4096];
};

class DescriptorStream : public std::istream {
 public:
  DescriptorStream(int fd, bool owned) : std::istream(nullptr), buffer_(fd, owned) { rdbuf(&buffer_); }

 private:
  DescriptorBuffer buffer_;
};

}  // namespace

std::unique_ptr<std::istream> OpenListInput(const std::string& path) {
  // A standard input that the caller closed is no list, not an empty one.
  if (path == "-")
    return StandardStreamWasClosed(STDIN_FILENO) ? nullptr : std::make_unique<DescriptorStream>(STDIN_FILENO, false);
  const int fd = OpenForReading(path, O_CLOEXEC);
  if (fd < 0) return nullptr;
  return std::make_unique<DescriptorStream>(fd, true);
}

}  // namespace kiv::tool
