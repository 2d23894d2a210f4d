// What the kivgsm tool needs from the platform beyond the library: stop
// requests (signals on POSIX; Ctrl-C, Ctrl-Break and closing the console on
// Windows), the Enter key, the terminal, free disk space, and its
// arguments as UTF-8. One implementation per platform, side by side.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
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

// Opens /dev/null on any of descriptors 0-2 that is closed, so that no file
// the tool opens later takes the place of standard input, output or error.
void ReserveStandardStreams();

// True when `utf8_path` names the file that standard input, output or
// error is (/dev/stdout, /proc/self/fd/1, or the file stdout is redirected to).
bool IsStandardStream(const std::string& utf8_path);

// Creates `utf8_path` only if nothing has that name yet; false otherwise.
bool CreateNewFile(const std::string& utf8_path);

// Creates a FIFO named `utf8_path`; false where the platform or the file
// system has none.
bool CreateNewFifo(const std::string& utf8_path);
// Opens a FIFO for writing once a reader has opened it, checking `give_up`
// while it waits; nullptr when it gave up or the open failed.
std::FILE* OpenFifoForWriting(const std::string& utf8_path, const std::atomic<bool>& give_up);

// Temporary files that an interrupt (Ctrl-C, SIGTERM and the like) must
// not leave behind. After RemoveTrackedFilesOnInterrupt, an interrupt
// removes every tracked file and ends the process as the signal would (and
// a write to a pipe without a reader fails instead of ending it); on
// Windows the request is recorded instead (StopRequest), and the caller
// removes its files before EndAsRequested.
void RemoveTrackedFilesOnInterrupt();
// A slot for UntrackFile, or -1 when every slot is taken.
int TrackFile(const std::string& utf8_path);
void UntrackFile(int slot);

}  // namespace kiv::tool
