// SPDX-License-Identifier: MIT
#include "support/sparse_file_system.h"

#include "platform/utf8_path.h"

#include <algorithm>
#include <cstring>

namespace kiv::test {

struct SparseFileSystem::Stream {
  FileStream base;
  SparseFileSystem* owner;
  File* file;
  std::uint64_t pos = 0;
};

namespace {

SparseFileSystem::Stream* Cast(FileStream* s) { return reinterpret_cast<SparseFileSystem::Stream*>(s); }

std::size_t Read(FileStream*, void*, std::size_t, std::size_t) { return 0; }

std::size_t Write(FileStream* fs, const void* src, std::size_t size, std::size_t count) {
  auto* s = Cast(fs);
  std::size_t n = size * count;
  const auto* in = static_cast<const unsigned char*>(src);
  for (std::size_t i = 0; i < n && s->pos + i < SparseFileSystem::kKept; ++i) s->file->prefix[s->pos + i] = in[i];
  s->pos += n;
  s->file->length = std::max(s->file->length, s->pos);
  return count;
}

bool Seek(FileStream* fs, std::int64_t offset, SeekOrigin origin) {
  auto* s = Cast(fs);
  s->pos = static_cast<std::uint64_t>(offset) + (origin == SeekOrigin::kEnd ? s->file->length : 0);
  return true;
}

std::int64_t Tell(FileStream* fs) { return static_cast<std::int64_t>(Cast(fs)->pos); }

bool Truncate(FileStream* fs, std::int64_t length) {
  auto* s = Cast(fs);
  s->file->length = static_cast<std::uint64_t>(length);
  s->pos = s->file->length;
  return true;
}

bool Flush(FileStream*) { return true; }
bool Failed(FileStream*) { return false; }
bool Identify(FileStream* fs, FileIdentity* id) {
  *id = {0, reinterpret_cast<std::uintptr_t>(Cast(fs)->file), false};
  return true;
}
bool Close(FileStream* fs) {
  delete Cast(fs);
  return true;
}

const FileStreamMethods kMethods = {Read, Write, Seek, Tell, Truncate, Flush, Failed, Identify, Close};

}  // namespace

SparseFileSystem::SparseFileSystem() : fs_{Open, IdentifyName, this} {}

FileStream* SparseFileSystem::Open(const FileSystem* fs, const KivPathChar* name, OpenMode mode, OutputOpen*) {
  auto* self = static_cast<SparseFileSystem*>(fs->context);
  std::lock_guard<std::mutex> lock(self->mutex_);
  if (mode == OpenMode::kRead && self->files_.count(name) == 0) return nullptr;
  File& f = self->files_[name];
  if (mode == OpenMode::kWrite) f = File{};  // kWriteOver keeps the bytes for the writer to cut
  return &(new Stream{{&kMethods}, self, &f})->base;
}

NameLookup SparseFileSystem::IdentifyName(const FileSystem*, const KivPathChar*, FileIdentity*) {
  return NameLookup::kAbsent;
}

bool SparseFileSystem::Get(const std::string& name, std::vector<unsigned char>* prefix, std::uint64_t* length) const {
  std::basic_string<KivPathChar> path;
  if (!tool::Utf8ToPath(name, &path)) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = files_.find(path);
  if (it == files_.end()) return false;
  *prefix = it->second.prefix;
  *length = it->second.length;
  return true;
}

}  // namespace kiv::test
