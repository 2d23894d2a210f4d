// SPDX-License-Identifier: MIT
// The audio system's own error text (libasound prints its errors to
// standard error unless told otherwise): the tool keeps it for -v, where it
// is shown as "kivgsm: ALSA: ...", and otherwise says only its own
// messages. The library leaves the handler alone: it belongs to the host.
#pragma once

namespace kiv::tool {

void KeepAudioSystemMessagesForVerbose();

}  // namespace kiv::tool
