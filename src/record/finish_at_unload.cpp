// SPDX-License-Identifier: MIT
// A host that exits while a recording runs still gets finished files.
// Loading builds nothing: this is a static object whose destructor runs
// when the process exits normally (or when the library is unloaded before
// any device was opened; after that it stays loaded, see
// KeepLibraryLoaded).
//
// POSIX: the destructor runs at exit(), with the capture thread still
// alive, so it stops each running recording exactly as Stop would; no code
// of ours runs after it. A child made by fork() has forgotten its parent's
// recordings at the fork (ForgetRecordingsAfterFork), so it finds none.
//
// Windows: destructors run from DLL_PROCESS_DETACH under the loader lock,
// where the capture thread cannot be joined. The library keeps itself
// loaded once a recording has started (see KeepLibraryLoaded), so
// FreeLibrary never removes code that a delivery may still run, and the
// destructor runs only at process exit, when Windows has already ended
// every other thread. Then only the files are finished, from what reached
// them; the device is left to the system.
#include "record/gsm_recorder.h"
#include "record/pcm_wave_recorder.h"

namespace kiv {
namespace {

struct FinishRecordingsAtUnload {
  ~FinishRecordingsAtUnload() {
#if defined(_WIN32)
    GsmRecorderFinishAtExit(TheGsmRecorder());
    PcmWaveRecorderFinishAtExit(ThePcmWaveRecorder());
#else
    GsmRecorderStop(TheGsmRecorder());
    PcmWaveRecorderStop(ThePcmWaveRecorder());
#endif
  }
};

FinishRecordingsAtUnload g_finish_at_unload;

}  // namespace
}  // namespace kiv
