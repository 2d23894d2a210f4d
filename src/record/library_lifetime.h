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

// Keeps the library's code mapped for good, whatever the platform: for a
// capture thread that was written off and may come back from the sound
// system after the host has unloaded us.
void PinLibrary();

}  // namespace kiv
