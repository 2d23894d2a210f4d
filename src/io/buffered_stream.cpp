// SPDX-License-Identifier: MIT
#include "io/buffered_stream.h"

#include <cstring>
#include <new>

namespace kiv {
namespace {

constexpr std::size_t kBufferBytes = 64 * 1024;

struct BufferedStream {
  FileStream base;
  const RawFileOps* ops;
  std::intptr_t file;
  bool writing;       // buffer holds pending output (else read-ahead input)
  bool read_failed;  // a read error, as against the end of the file
  std::size_t begin;  // read: next unread byte
  std::size_t end;    // read: end of valid bytes; write: end of pending bytes
  unsigned char buffer[kBufferBytes];
};

BufferedStream* Cast(FileStream* s) { return reinterpret_cast<BufferedStream*>(s); }

bool WriteAll(BufferedStream* s, const unsigned char* p, std::size_t n) {
  while (n > 0) {
    std::int64_t w = s->ops->write(s->file, p, n);
    if (w <= 0) return false;
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

// Writes out pending output. On failure the rest is dropped, never retried;
// the caller hears of it from this result.
bool FlushPending(BufferedStream* s) {
  bool ok = true;
  if (s->writing && s->end > 0) ok = WriteAll(s, s->buffer, s->end);
  s->end = 0;
  return ok;
}

// Gives back read-ahead so that the file's position is the logical one.
void DropReadAhead(BufferedStream* s) {
  if (!s->writing && s->end > s->begin)
    s->ops->seek(s->file, -static_cast<std::int64_t>(s->end - s->begin), RawWhence::kCurrent);
  s->begin = s->end = 0;
}

std::size_t Read(FileStream* fs, void* dst, std::size_t size, std::size_t count) {
  BufferedStream* s = Cast(fs);
  if (size == 0 || count == 0) return 0;
  if (s->writing && !FlushPending(s)) return 0;
  s->writing = false;
  unsigned char* out = static_cast<unsigned char*>(dst);
  std::size_t wanted = size * count;
  std::size_t got = 0;
  while (got < wanted) {
    if (s->begin == s->end) {
      std::int64_t r = s->ops->read(s->file, s->buffer, kBufferBytes);
      if (r < 0) {
        s->read_failed = true;
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
  BufferedStream* s = Cast(fs);
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
  BufferedStream* s = Cast(fs);
  bool ok = FlushPending(s);
  DropReadAhead(s);
  s->writing = false;
  std::int64_t r = s->ops->seek(s->file, offset, origin == SeekOrigin::kStart ? RawWhence::kStart : RawWhence::kEnd);
  return ok && r >= 0;
}

std::int64_t Tell(FileStream* fs) {
  BufferedStream* s = Cast(fs);
  std::int64_t pos = s->ops->seek(s->file, 0, RawWhence::kCurrent);
  if (pos < 0) return -1;
  if (s->writing) return pos + static_cast<std::int64_t>(s->end);
  return pos - static_cast<std::int64_t>(s->end - s->begin);
}

bool Truncate(FileStream* fs, std::int64_t length) {
  BufferedStream* s = Cast(fs);
  bool ok = FlushPending(s);
  DropReadAhead(s);
  s->writing = false;
  if (!s->ops->truncate(s->file, length)) ok = false;
  return s->ops->seek(s->file, 0, RawWhence::kEnd) >= 0 && ok;
}

bool Flush(FileStream* fs) { return FlushPending(Cast(fs)); }

bool Failed(FileStream* fs) { return Cast(fs)->read_failed; }

bool Identify(FileStream* fs, FileIdentity* id) {
  BufferedStream* s = Cast(fs);
  return s->ops->identify(s->file, id);
}

bool Close(FileStream* fs) {
  BufferedStream* s = Cast(fs);
  bool ok = FlushPending(s);
  if (!s->ops->close(s->file)) ok = false;
  delete s;
  return ok;
}

const FileStreamMethods kMethods = {Read, Write, Seek, Tell, Truncate, Flush, Failed, Identify, Close};

}  // namespace

FileStream* NewBufferedStream(const RawFileOps* ops, std::intptr_t file) {
  BufferedStream* s = new (std::nothrow) BufferedStream;
  if (s == nullptr) {
    ops->close(file);
    return nullptr;
  }
  s->base.methods = &kMethods;
  s->ops = ops;
  s->file = file;
  s->writing = false;
  s->read_failed = false;
  s->begin = s->end = 0;
  return &s->base;
}

}  // namespace kiv
