// SPDX-License-Identifier: MIT
#include "platform/alsa_library.h"

#include <dlfcn.h>

#include <cstdio>

namespace kiv {
namespace {

// Nothing here allocates: it is reached from the C entry points.
struct Loaded {
  AlsaLibrary functions{};
  bool complete = false;
  char why[256] = {};
};

// The handle is never closed: a capture thread written off inside ALSA may
// return into it at any later time. dlsym gives each function's default
// version, the one a link against libasound would bind.
Loaded Load() {
  Loaded l;
  void* handle = ::dlopen("libasound.so.2", RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = ::dlerror();
    std::snprintf(l.why, sizeof l.why, "%s", why != nullptr ? why : "libasound.so.2 cannot be loaded");
    return l;
  }
#define KIV_ALSA_LOOK_UP(name)                                                       \
  l.functions.name = reinterpret_cast<decltype(&::name)>(::dlsym(handle, #name)); \
  if (l.functions.name == nullptr) {                                                 \
    std::snprintf(l.why, sizeof l.why, "libasound.so.2 lacks %s", #name);           \
    return l;                                                                        \
  }
  KIV_ALSA_FUNCTIONS(KIV_ALSA_LOOK_UP)
#undef KIV_ALSA_LOOK_UP
  l.complete = true;
  return l;
}

}  // namespace

const AlsaLibrary* LoadAlsa(const char** why) {
  static const Loaded loaded = Load();
  if (why != nullptr) *why = loaded.complete ? nullptr : loaded.why;
  return loaded.complete ? &loaded.functions : nullptr;
}

}  // namespace kiv
