// `kivgsm record [--pcm] OUT.wav [--seconds N]`
#pragma once

namespace kiv::tool {

// Records until N seconds, Enter, Ctrl-C or SIGTERM, always finishing the
// file. Returns the process exit code.
int RecordCommand(int argc, char** argv);

}  // namespace kiv::tool
