// What the kivgsm tool needs from the platform beyond the library: stop
// requests (signals on POSIX; Ctrl-C, Ctrl-Break and closing the console on
// Windows), the Enter key, the terminal, free disk space, and its
// arguments as UTF-8. One implementation per platform, side by side.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kiv::tool {

// From now on a stop request is recorded instead of ending the process.
void CatchStopRequests();
// The request received (a signal number or console event + 1), or 0.
int StopRequest();
// Ends the process as the request would have ended it.
[[noreturn]] void EndAsRequested(int request);

// True once Enter was pressed on standard input; stops watching it at its
// end or when it is not something to watch.
bool EnterPressed(bool* watching);
bool StderrIsTerminal();
// True when the folder of `utf8_path` has no room for another delivery.
bool DiskFull(const std::string& utf8_path);
void SleepMilliseconds(int ms);

}  // namespace kiv::tool
