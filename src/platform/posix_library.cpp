// SPDX-License-Identifier: MIT
// POSIX: the library pins itself in memory before it opens an audio device
// (RTLD_NODELETE), as the Windows DLL does: a capture thread held inside a
// hung sound server returns into our code whenever the server answers, and
// an unload in between would leave it running code that is gone.
#include <dlfcn.h>
#include <pthread.h>

#include <mutex>

#include "record/library_lifetime.h"

namespace kiv {

namespace {

// A child made by fork() forgets its parent's recordings before any of its
// code runs (glibc drops the handler again if the library is unloaded).
const int g_fork_handler = ::pthread_atfork(nullptr, nullptr, [] { ForgetRecordingsAfterFork(); });

}  // namespace

void KeepLibraryLoaded() {
  static std::once_flag once;
  std::call_once(once, [] {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&KeepLibraryLoaded), &info) != 0 && info.dli_fname != nullptr)
      ::dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE);
  });
}

}  // namespace kiv
