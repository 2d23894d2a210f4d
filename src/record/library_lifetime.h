// SPDX-License-Identifier: MIT
// How long the library's code stays in memory, and what a child made by
// fork() does with its parent's recordings.
#pragma once

namespace kiv {

// Called before an audio device is opened: the library stays loaded from
// then on, so that no capture thread ever runs code that is gone. A device
// whose sound server hangs may keep its thread inside the audio system for
// as long as the hang lasts, and no unload may take the code it returns to.
// Unloading is then a no-op, and the recordings still running are finished
// when the process exits.
void KeepLibraryLoaded();

// In a child made by fork(), straight after it, with one thread: the
// recorders and the register of outputs are the parent's copies, whose
// devices, threads and files the child does not have. It forgets them
// (never stops, flushes or closes them) and starts afresh. The POSIX layer
// registers it with pthread_atfork.
void ForgetRecordingsAfterFork();

}  // namespace kiv
