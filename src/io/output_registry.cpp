// SPDX-License-Identifier: MIT
#include "io/output_registry.h"

#include <mutex>
#include <new>

namespace kiv {
namespace {

// Two recorders and any number of conversions: a handful at most.
constexpr int kMaxOutputs = 64;

std::mutex g_mutex;
FileIdentity g_open[kMaxOutputs];
int g_count = 0;

bool Same(const FileIdentity& a, const FileIdentity& b) { return a.device == b.device && a.inode == b.inode; }

bool Claimed(const FileIdentity& id) {
  for (int i = 0; i < g_count; ++i)
    if (Same(g_open[i], id)) return true;
  return false;
}

}  // namespace

OutputOpen OpenOutput(const FileSystem* fs, const KivPathChar* path, FileStream** stream, FileIdentity* id,
                      OpenMode mode) {
  // Held across the check and the open, so that two writers starting on one
  // new file at once cannot both get it.
  std::lock_guard<std::mutex> lock(g_mutex);
  // A name that cannot be looked up is not opened: it could be an output
  // being written.
  FileIdentity existing;
  NameLookup found = fs->identify(fs, path, &existing);
  if (found == NameLookup::kFailed) return OutputOpen::kCannotCreate;
  if (found == NameLookup::kFound && Claimed(existing)) return OutputOpen::kInUse;
  OutputOpen why = OutputOpen::kCannotCreate;
  FileStream* s = fs->open(fs, path, mode, &why);
  if (s == nullptr) return why == OutputOpen::kOpened ? OutputOpen::kCannotCreate : why;
  *id = FileIdentity{};
  if (StreamIdentify(s, id) && g_count < kMaxOutputs) g_open[g_count++] = *id;
  *stream = s;
  return OutputOpen::kOpened;
}

void ForgetOutputsAfterFork() {
  new (&g_mutex) std::mutex;  // not destroyed: it may be locked by a thread this process does not have
  g_count = 0;
}

void ReleaseOutput(const FileIdentity& id) {
  std::lock_guard<std::mutex> lock(g_mutex);
  for (int i = 0; i < g_count; ++i) {
    if (Same(g_open[i], id)) {
      g_open[i] = g_open[--g_count];
      return;
    }
  }
}

}  // namespace kiv
