// SPDX-License-Identifier: MIT
// Which file system the entry points use.
#include <atomic>

#include "io/file_stream.h"

namespace kiv {
namespace {
std::atomic<const FileSystem*> g_test_fs{nullptr};
}  // namespace

const FileSystem* ActiveFileSystem() {
  const FileSystem* fs = g_test_fs.load(std::memory_order_acquire);
  return fs != nullptr ? fs : DefaultFileSystem();
}

void SetFileSystemForTesting(const FileSystem* fs) { g_test_fs.store(fs, std::memory_order_release); }

}  // namespace kiv
