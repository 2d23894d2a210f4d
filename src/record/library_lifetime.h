// SPDX-License-Identifier: MIT
// How long the library's code stays in memory, and which process a
// recording belongs to.
#pragma once

#include <cstdint>

namespace kiv {

// Called before an audio device is opened: the library stays loaded from
// then on, so that no capture thread ever runs code that is gone. A device
// whose sound server hangs may keep its thread inside the audio system for
// as long as the hang lasts, and no unload may take the code it returns to.
// Unloading is then a no-op, and the recordings still running are finished
// when the process exits.
void KeepLibraryLoaded();

// Keeps the library's code mapped for good, whatever the platform: for a
// capture thread that was written off and may come back from the sound
// system after the host has unloaded us.
void PinLibrary();

// The calling process. A child made by fork() inherits a copy of its
// parent's recorders, whose devices and threads it does not have: the
// recorders compare this with the process that started them and leave
// such a recording alone.
std::uint64_t CurrentProcess();

}  // namespace kiv
