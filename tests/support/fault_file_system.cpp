// SPDX-License-Identifier: MIT
#include "support/fault_file_system.h"

namespace kiv::test {

struct FaultFileSystem::Stream {
  FileStream base;
  FileStream* inner;
  FaultFileSystem* owner;
  bool failed;
};

namespace {
FaultFileSystem::Stream* Cast(FileStream* s) { return reinterpret_cast<FaultFileSystem::Stream*>(s); }
}  // namespace

const FileStreamMethods FaultFileSystem::kMethods = {Read,     Write,  Seek,     Tell, Truncate,
                                                     Flush,    Failed, Identify, Close};

FaultFileSystem::FaultFileSystem() : fs_{Open, IdentifyName, this} {}

// Passes on the real layer's reason ("in use") for a failed open.
FileStream* FaultFileSystem::Open(const FileSystem* fs, const KivPathChar* name, OpenMode mode, OutputOpen* why) {
  auto* self = static_cast<FaultFileSystem*>(fs->context);
  if (mode != OpenMode::kRead && self->fail_open_write_) return nullptr;
  const FileSystem* real = DefaultFileSystem();
  FileStream* inner = real->open(real, name, mode, why);
  if (inner == nullptr) return nullptr;
  auto* s = new Stream{{&kMethods}, inner, self, false};
  return &s->base;
}

NameLookup FaultFileSystem::IdentifyName(const FileSystem* fs, const KivPathChar* name, FileIdentity* id) {
  if (static_cast<FaultFileSystem*>(fs->context)->fail_lookup_) return NameLookup::kFailed;
  const FileSystem* real = DefaultFileSystem();
  return real->identify(real, name, id);
}

std::size_t FaultFileSystem::Read(FileStream* fs, void* dst, std::size_t size, std::size_t count) {
  Stream* s = Cast(fs);
  int n = ++s->owner->reads_;
  if (n == s->owner->fail_read_) {
    s->failed = true;
    return 0;
  }
  return StreamRead(s->inner, dst, size, count);
}

std::size_t FaultFileSystem::Write(FileStream* fs, const void* src, std::size_t size, std::size_t count) {
  Stream* s = Cast(fs);
  FaultFileSystem* o = s->owner;
  int n = ++o->writes_;
  if (o->fail_write_ != 0 && (n == o->fail_write_ || (o->sticky_write_ && n > o->fail_write_))) {
    s->failed = true;
    return 0;
  }
  return StreamWrite(s->inner, src, size, count);
}

bool FaultFileSystem::Seek(FileStream* s, std::int64_t offset, SeekOrigin origin) {
  // A failing seek still writes out what is buffered, as the real one does.
  if (++Cast(s)->owner->seeks_ == Cast(s)->owner->fail_seek_) {
    StreamFlush(Cast(s)->inner);
    return false;
  }
  return StreamSeek(Cast(s)->inner, offset, origin);
}
std::int64_t FaultFileSystem::Tell(FileStream* s) {
  if (++Cast(s)->owner->tells_ == Cast(s)->owner->fail_tell_) return -1;
  return StreamTell(Cast(s)->inner);
}
bool FaultFileSystem::Truncate(FileStream* s, std::int64_t length) {
  return StreamTruncate(Cast(s)->inner, length);
}
bool FaultFileSystem::Flush(FileStream* s) { return StreamFlush(Cast(s)->inner); }
bool FaultFileSystem::Failed(FileStream* s) { return Cast(s)->failed || StreamFailed(Cast(s)->inner); }
bool FaultFileSystem::Identify(FileStream* s, FileIdentity* id) { return StreamIdentify(Cast(s)->inner, id); }

bool FaultFileSystem::Close(FileStream* fs) {
  Stream* s = Cast(fs);
  bool ok = StreamClose(s->inner) && !s->owner->fail_close_;
  delete s;
  return ok;
}

}  // namespace kiv::test
