// SPDX-License-Identifier: MIT
// A child made by fork() inherits copies of its parent's recorders: their
// devices' threads are not in the child, and their files belong to the
// parent. Straight after the fork, while the child has one thread, it
// forgets them: it never stops, flushes or closes them (a flush would
// write the parent's buffered audio into the file a second time), and its
// recorders start afresh.
#include <mutex>
#include <new>

#include "io/output_registry.h"
#include "record/gsm_recorder.h"
#include "record/library_lifetime.h"
#include "record/pcm_wave_recorder.h"

namespace kiv {
namespace {

template <typename Recorder>
void Forget(Recorder* r) {
  CaptureChannelForget(r->channel);
  r->file = nullptr;
  if constexpr (requires { r->codec; }) r->codec = nullptr;
  r->state = RecorderState::kIdle;
  // Not destroyed: a thread of the parent's may have held it at the fork.
  new (&r->control) std::mutex;
}

}  // namespace

void ForgetRecordingsAfterFork() {
  Forget(TheGsmRecorder());
  Forget(ThePcmWaveRecorder());
  ForgetOutputsAfterFork();
}

}  // namespace kiv
