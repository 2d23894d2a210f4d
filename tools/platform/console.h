// SPDX-License-Identifier: MIT
// What the kivgsm tool needs from the platform beyond the library: stop
// requests (signals on POSIX; Ctrl-C, Ctrl-Break and closing the console on
// Windows), the Enter key, the terminal, free disk space, the lock on a
// file being written, and its arguments as UTF-8. One implementation per
// platform, side by side.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace kiv::tool {

// From now on a stop request is recorded instead of ending the process.
void CatchStopRequests();
// The request received (a signal number or console event + 1), or 0.
int StopRequest();
// Ends the process as the request would have ended it.
[[noreturn]] void EndAsRequested(int request);

// Ends the process with `code`, its output flushed, while audio devices
// that stopped answering still have threads inside the audio service. On
// Windows without the orderly exit, which Wine 8 turns into a crash when a
// thread waits inside its pulse driver; elsewhere as exit() does.
[[noreturn]] void EndLeavingAudioThreads(int code);

// True once Enter was pressed on standard input; stops watching it at its
// end or when it is not something to watch.
bool EnterPressed(bool* watching);
// True when `fd` is a terminal someone reads (on Windows a console, not
// any character device: NUL is one too).
bool IsTerminal(int fd);

// Writes a message (printf's format, UTF-8) to `stream` (stdout or
// stderr). On a Windows console it goes through WriteConsoleW, so that
// names beyond ASCII show as they are whatever the console's code page;
// anywhere else the bytes go as they are.
#if defined(__MINGW_PRINTF_FORMAT)
__attribute__((format(__MINGW_PRINTF_FORMAT, 2, 3)))
#elif defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
void Print(std::FILE* stream, const char* format, ...);
// True when the folder of `utf8_path` has no room for another delivery.
bool DiskFull(const std::string& utf8_path);
void SleepMilliseconds(int ms);

// Opens /dev/null on any of descriptors 0-2 that is closed, so that no file
// the tool opens later takes the place of standard input, output or error.
void ReserveStandardStreams();
// True when descriptor `fd` (0-2) was closed at start, and so is /dev/null now.
bool StandardStreamWasClosed(int fd);
#if !defined(_WIN32)
// open(2) of `path` for reading, made again when a signal that is not a
// stop request cuts it short (a FIFO waits for its writer); -1 with errno.
int OpenForReading(const std::string& path, int flags);
#endif

// True when `utf8_path` names the file that standard input, output or
// error is (/dev/stdout, /proc/self/fd/1, or the file stdout is redirected
// to); with `fd` (0-2), that one stream only.
bool IsStandardStream(const std::string& utf8_path, int fd = -1);

// The lock that the library takes on every output while it writes it
// (kivgsm.h, "Outputs"). LockForEditing takes it on the existing file
// `utf8_path` for an edit in place, until UnlockAfterEditing; when the
// file is being written it takes nothing and says so (`being_written`).
// Where no lock can be had for another reason (no such file, no locks on
// that file system) it takes nothing either, and the edit goes on without
// one, as the library's writers do.
struct EditLock {
  std::intptr_t handle = -1;
  bool being_written = false;
};
EditLock LockForEditing(const std::string& utf8_path);
void UnlockAfterEditing(const EditLock& lock);
// True while `lock` is on the file that `utf8_path` names (a file put in
// its place meanwhile is not the one locked).
bool LockStillOn(const EditLock& lock, const std::string& utf8_path);

// An EditLock given up when it goes out of scope, unless given up before
// (its handle then -1).
struct HeldLock {
  EditLock lock;
  explicit HeldLock(EditLock taken = {}) : lock(taken) {}
  ~HeldLock() { UnlockAfterEditing(lock); }
  HeldLock(const HeldLock&) = delete;
  HeldLock& operator=(const HeldLock&) = delete;
};

// Renames `utf8_from` to `utf8_to` only if nothing has that name: false,
// with `*taken` set, when something has; false with errno otherwise.
bool RenameWithoutReplacing(const std::string& utf8_from, const std::string& utf8_to, bool* taken);

// Temporary files that an interrupt (Ctrl-C, SIGTERM and the like) must
// not leave behind, however many there are. RemoveTrackedFilesOnInterrupt
// records stop requests (StopRequest): the work stops at its next step, its
// destructors remove its files, and the caller ends with EndAsRequested. A
// second request, a second or more after the first could not be acted on,
// removes every tracked file from the signal handler and ends at once.
// (CatchStopRequests alone, for a recording, never ends the tool early.) A write to a pipe
// without a reader, or past the file-size limit, fails instead of ending
// the tool.
void RemoveTrackedFilesOnInterrupt();
// Signals for the tool go to the main thread, whose waits they interrupt;
// each other thread calls this first.
void LeaveStopRequestsToTheMainThread();
// Ends a wait of `thread` (one that called the above) in a system call, such
// as the open of a FIFO with no writer or a read of a silent pipe, so that
// it sees a stop request; harmless when it waits for nothing, or has ended
// and is not yet joined. (On Windows it does nothing.)
void InterruptThread(std::thread& thread);
// Creates `utf8_path` only if nothing has that name yet, and tracks it, in
// one step that an interrupt cannot split; a handle for UntrackFile, or -1
// when it could not be created.
std::intptr_t CreateTrackedFile(const std::string& utf8_path);
void UntrackFile(std::intptr_t handle);

// A new file in `utf8_folder` with no name (Linux's O_TMPFILE), which no
// crash can leave behind: the name to open it by while `*fd` stays open
// ("/proc/self/fd/N"), or "" where the file system or platform has none.
std::string CreateUnnamedFile(const std::string& utf8_folder, int* fd);
// Gives the unnamed file `fd` the name `utf8_to`, only if nothing has it:
// false, with `*taken` set, when something has; false with errno otherwise.
bool LinkUnnamedFile(int fd, const std::string& utf8_to, bool* taken);
void CloseUnnamedFile(int fd);
// The file `utf8_path` names, opened, and a name to open it by while `*fd`
// stays open ("/proc/self/fd/N"); "" where the platform has none. Closed
// with CloseUnnamedFile.
std::string DescriptorName(const std::string& utf8_path, int* fd);

// The identity of the file `utf8_path` names (its device and file number,
// mixed into one number), or 0 when there is none. Two names of one file,
// whatever the folder takes for the same name (case, links), give one.
std::uint64_t FileIdentityOf(const std::string& utf8_path);

// How many files the process may have open at once.
unsigned OpenFilesAllowed();
// False when `utf8_path` exists and this user may not write it (read-only),
// so that the tool does not replace what it was not allowed to change.
bool MayReplace(const std::string& utf8_path);
// Gives `utf8_temp` the mode of `utf8_existing`, and its owner and group
// where the user may set them, before the first replaces the second.
void KeepOwnerAndMode(const std::string& utf8_existing, const std::string& utf8_temp);

}  // namespace kiv::tool
