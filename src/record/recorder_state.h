// SPDX-License-Identifier: MIT
// Where a recorder is in its life: idle; recording; or started with a file
// whose device failed to open or start, which the next Start or Stop
// finishes as an empty recording.
#pragma once

namespace kiv {

enum class RecorderState { kIdle, kRecording, kFailedStart };

}  // namespace kiv
