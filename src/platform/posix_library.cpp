// SPDX-License-Identifier: MIT
// POSIX: unloading (dlclose) stops running recordings first, from a static
// destructor (record/finish_at_unload.cpp), so nothing has to stay loaded.
#include "record/library_lifetime.h"

namespace kiv {

void KeepLibraryLoaded() {}

}  // namespace kiv
