// SPDX-License-Identifier: MIT
// How long the library's code stays in memory.
#pragma once

namespace kiv {

// Called before an audio device is opened. Where the platform cannot stop
// a recording safely while the library is unloaded (Windows: the loader
// lock forbids joining the capture thread), the library stays loaded from
// then on, so that no delivery ever runs code that is gone. Elsewhere it
// does nothing: unloading finishes the recordings first.
void KeepLibraryLoaded();

}  // namespace kiv
