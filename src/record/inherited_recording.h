// SPDX-License-Identifier: MIT
// A recording inherited through fork(): the parent's. Its device's thread
// is not in the child, and its file belongs to the parent, so the child
// neither stops, flushes nor closes it (a flush would write the parent's
// buffered audio into the file a second time); it forgets it, and its
// recorder starts afresh.
#pragma once

#include <mutex>
#include <new>

#include "record/capture_channel.h"
#include "record/library_lifetime.h"
#include "record/recorder_state.h"

namespace kiv {

// Called first by Start and Stop, before the recorder's lock: true when
// the recording was another process's and is now forgotten.
template <typename Recorder>
bool ForgetIfInherited(Recorder* r) {
  const std::uint64_t owner = r->process.load();
  if (owner == 0 || owner == CurrentProcess()) return false;
  CaptureChannelForget(r->channel);
  r->file = nullptr;
  if constexpr (requires { r->codec; }) r->codec = nullptr;
  r->state = RecorderState::kIdle;
  // A thread of the parent's may have held the lock when it forked; no
  // thread of this process does.
  r->control.~mutex();
  new (&r->control) std::mutex;
  r->process.store(CurrentProcess());
  return true;
}

}  // namespace kiv
