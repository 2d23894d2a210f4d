// SPDX-License-Identifier: MIT
// The tool's platform pieces on Windows.
#include <windows.h>
#include <conio.h>
#include <io.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdarg>
#include <cstdlib>
#include <new>

#include "platform/console.h"
#include "platform/utf8_path.h"

namespace kiv::tool {
namespace {

std::atomic<int> g_request{0};

// Runs on a thread of its own: the main loop sees the request within its
// next 100 ms and finishes the file. Returning TRUE keeps the process alive
// for that; for a closing console Windows allows a few seconds.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
  g_request.store(static_cast<int>(event) + 1);
  if (event == CTRL_CLOSE_EVENT) Sleep(5000);
  return TRUE;
}

}  // namespace

void CatchStopRequests() { SetConsoleCtrlHandler(OnConsoleEvent, TRUE); }

int StopRequest() { return g_request.load(); }

void EndAsRequested(int) {
  std::fflush(nullptr);
  // What a console program ended by Ctrl-C exits with.
  ExitProcess(STATUS_CONTROL_C_EXIT);
}

void EndLeavingAudioThreads(int code) {
  std::fflush(nullptr);
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
  ExitProcess(static_cast<UINT>(code));  // not reached
}

bool EnterPressed(bool* watching) {
  if (!*watching) return false;
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode;
  if (in == nullptr || in == INVALID_HANDLE_VALUE || !GetConsoleMode(in, &mode)) {
    *watching = false;  // not a console: nothing to press
    return false;
  }
  while (_kbhit()) {
    int c = _getch();
    if (c == '\r' || c == '\n') return true;
  }
  return false;
}

bool IsTerminal(int fd) {
  DWORD mode;
  const HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  return h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode) != 0;
}

namespace {

// The console `stream` writes to, or null when it is a file, a pipe or
// nothing.
HANDLE ConsoleOf(std::FILE* stream) {
  const int fd = _fileno(stream);
  if (fd < 0) return nullptr;
  HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  DWORD mode;
  return h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode) ? h : nullptr;
}

// UTF-8 onto the console as UTF-16 (malformed bytes show as U+FFFD). Stack
// buffers for the usual message; a longer one takes memory without
// throwing, and where there is none it goes in pieces.
void WriteToConsole(HANDLE console, const char* text, int bytes) {
  wchar_t small[1024];
  const int units = MultiByteToWideChar(CP_UTF8, 0, text, bytes, nullptr, 0);
  wchar_t* wide = units > 1024 ? new (std::nothrow) wchar_t[static_cast<std::size_t>(units)] : small;
  if (wide == nullptr) {
    // 512 bytes never make more than 512 units; a sequence cut at the
    // piece's end shows as U+FFFD.
    for (int at = 0; at < bytes; at += 512) WriteToConsole(console, text + at, bytes - at < 512 ? bytes - at : 512);
    return;
  }
  MultiByteToWideChar(CP_UTF8, 0, text, bytes, wide, units);
  for (int done = 0; done < units;) {
    DWORD wrote = 0;
    if (!WriteConsoleW(console, wide + done, static_cast<DWORD>(units - done), &wrote, nullptr) || wrote == 0) break;
    done += static_cast<int>(wrote);
  }
  if (wide != small) delete[] wide;
}

}  // namespace

void Print(std::FILE* stream, const char* format, ...) {
  va_list args;
  va_start(args, format);
  HANDLE console = ConsoleOf(stream);
  if (console == nullptr) {
    std::vfprintf(stream, format, args);
    va_end(args);
    return;
  }
  char small[1024];
  char* text = small;
  va_list again;
  va_copy(again, args);
  int bytes = std::vsnprintf(small, sizeof small, format, args);
  if (bytes >= static_cast<int>(sizeof small)) {
    text = new (std::nothrow) char[static_cast<std::size_t>(bytes) + 1];
    if (text != nullptr)
      std::vsnprintf(text, static_cast<std::size_t>(bytes) + 1, format, again);
    else
      text = small, bytes = sizeof small - 1;
  }
  va_end(again);
  va_end(args);
  if (bytes > 0) {
    std::fflush(stream);  // what went before through the C library goes first
    WriteToConsole(console, text, bytes);
  }
  if (text != small) delete[] text;
}

bool DiskFull(const std::string& path) {
  std::wstring wide(path.size() + 1, L'\0');
  int n = MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, wide.data(), static_cast<int>(wide.size()));
  if (n <= 0) return false;
  wide.resize(static_cast<std::size_t>(n - 1));
  std::size_t slash = wide.find_last_of(L"\\/");
  std::wstring dir = slash == std::wstring::npos ? L"." : wide.substr(0, slash + 1);
  ULARGE_INTEGER free{};
  if (!GetDiskFreeSpaceExW(dir.c_str(), &free, nullptr, nullptr)) return false;
  return free.QuadPart < 16384;
}

void SleepMilliseconds(int ms) { Sleep(static_cast<DWORD>(ms)); }

// Windows gives a console program valid (possibly null) standard handles.
void ReserveStandardStreams() {}
bool StandardStreamWasClosed(int) { return false; }

// Console streams have no name in the file system to write to by mistake.
bool IsStandardStream(const std::string&, int) { return false; }

namespace {

// Creates `path` only if nothing has that name yet; false otherwise.
bool CreateNewFile(const std::string& path) {
  std::wstring wide(path.size() + 1, L'\0');
  int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.c_str(), -1, wide.data(),
                              static_cast<int>(wide.size()));
  if (n <= 0) return false;
  HANDLE h = CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    // In errno's terms, for the message.
    const DWORD error = GetLastError();
    errno = error == ERROR_PATH_NOT_FOUND || error == ERROR_FILE_NOT_FOUND ? ENOENT
            : error == ERROR_ACCESS_DENIED                                 ? EACCES
            : error == ERROR_FILE_EXISTS                                   ? EEXIST
                                                                           : EIO;
    return false;
  }
  CloseHandle(h);
  return true;
}

}  // namespace

// The library's writer shares its file for reading only: an open that
// asks to write is refused with a sharing violation while it holds it.
// The lock for an edit in place is such an open, sharing writes with the
// tool's own edits but not with the library's writers.
EditLock LockForEditing(const std::string& path) {
  EditLock taken;
  HANDLE h = CreateFileW(FsPath(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h != INVALID_HANDLE_VALUE)
    taken.handle = reinterpret_cast<std::intptr_t>(h);
  else
    taken.being_written = GetLastError() == ERROR_SHARING_VIOLATION;
  return taken;
}

void UnlockAfterEditing(const EditLock& lock) {
  if (lock.handle != -1) CloseHandle(reinterpret_cast<HANDLE>(lock.handle));
}

// The handle shares no deletion: while it is open, nothing can rename
// another file over the name, nor remove it.
bool LockStillOn(const EditLock& lock, const std::string&) { return lock.handle != -1; }

bool RenameWithoutReplacing(const std::string& from, const std::string& to, bool* taken) {
  *taken = false;
  if (MoveFileExW(FsPath(from).c_str(), FsPath(to).c_str(), 0)) return true;
  const DWORD e = GetLastError();
  *taken = e == ERROR_ALREADY_EXISTS || e == ERROR_FILE_EXISTS;
  errno = EACCES;
  return false;
}


// A file being written cannot be deleted on Windows, so an interrupt is
// recorded and the caller removes its files once the work in hand returns.
void RemoveTrackedFilesOnInterrupt() { CatchStopRequests(); }
void LeaveStopRequestsToTheMainThread() {}
void InterruptThread(std::thread&) {}
std::string CreateUnnamedFile(const std::string&, int* fd) {
  *fd = -1;
  return "";
}
bool LinkUnnamedFile(int, const std::string&, bool* taken) {
  *taken = false;
  return false;
}
void CloseUnnamedFile(int) {}

// Names on Windows come from UTF-16 and are always UTF-8: none is needed.
std::string DescriptorName(const std::string&, int* fd) {
  *fd = -1;
  return "";
}
std::intptr_t CreateTrackedFile(const std::string& path) {
  return CreateNewFile(path) ? 0 : -1;
}
void UntrackFile(std::intptr_t) {}

// The C runtime's limit on open streams (each conversion uses a few).
std::uint64_t FileIdentityOf(const std::string& path) {
  HANDLE h = CreateFileW(FsPath(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return 0;
  BY_HANDLE_FILE_INFORMATION info{};
  const bool known = GetFileInformationByHandle(h, &info) != 0;
  CloseHandle(h);
  if (!known) return 0;
  const std::uint64_t index = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  const std::uint64_t id = std::uint64_t{info.dwVolumeSerialNumber} * 0x9e3779b97f4a7c15ull ^ index;
  return id == 0 ? 1 : id;
}

unsigned OpenFilesAllowed() { return static_cast<unsigned>(_getmaxstdio()); }

bool MayReplace(const std::string& path) {
  DWORD attributes = GetFileAttributesW(FsPath(path).c_str());
  return attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) == 0;
}

// A new file on Windows takes its folder's permissions, as the replaced
// one did; only a read-only file would differ, and that is never replaced.
void KeepOwnerAndMode(const std::string&, const std::string&) {}

}  // namespace kiv::tool
