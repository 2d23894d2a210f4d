// SPDX-License-Identifier: MIT
// POSIX: unloading (dlclose) stops running recordings first, from a static
// destructor (record/finish_at_unload.cpp), so nothing has to stay loaded
// unless a capture thread had to be abandoned.
#include <dlfcn.h>

#include <mutex>

#include "record/library_lifetime.h"

namespace kiv {

void KeepLibraryLoaded() {}

void PinLibrary() {
  static std::once_flag once;
  std::call_once(once, [] {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&PinLibrary), &info) != 0 && info.dli_fname != nullptr)
      ::dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE);
  });
}

}  // namespace kiv
