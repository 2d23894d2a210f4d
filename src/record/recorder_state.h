// SPDX-License-Identifier: MIT
// Where a recorder is in its life: idle; recording; or started with a file
// whose device failed to open or start, which the next Start or Stop
// finishes as an empty recording.
#pragma once

#include <cstdint>

#include "kivgsm.h"

namespace kiv {

enum class RecorderState { kIdle, kRecording, kFailedStart };

// Stop's result when the file's header could not be finished.
constexpr std::int32_t kStopUnfinished = KIV_STOP_UNFINISHED;
static_assert(KIV_STOP_UNFINISHED == -KIV_ERR_WRITE);

}  // namespace kiv
