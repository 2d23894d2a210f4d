// SPDX-License-Identifier: MIT
// The file layer on Windows: Win32 file handles under the shared buffering.
// The caller's UTF-16 path goes to CreateFileW unchanged. A file's identity
// is its volume serial number and file index, which also tell hard links
// and symbolic links to the same file.
#include <windows.h>

#include "io/buffered_stream.h"
#include "platform/windows_device_name.h"
#include "io/file_stream.h"

namespace kiv {
namespace {

HANDLE H(std::intptr_t file) { return reinterpret_cast<HANDLE>(file); }

std::int64_t RawRead(std::intptr_t file, void* dst, std::size_t n) {
  DWORD got = 0;
  DWORD want = n > 0x40000000 ? 0x40000000 : static_cast<DWORD>(n);
  if (!ReadFile(H(file), dst, want, &got, nullptr)) return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
  return got;
}

std::int64_t RawWrite(std::intptr_t file, const void* src, std::size_t n) {
  DWORD put = 0;
  DWORD want = n > 0x40000000 ? 0x40000000 : static_cast<DWORD>(n);
  if (!WriteFile(H(file), src, want, &put, nullptr)) return put > 0 ? put : -1;
  return put;
}

std::int64_t RawSeek(std::intptr_t file, std::int64_t offset, RawWhence whence) {
  LARGE_INTEGER to, at;
  to.QuadPart = offset;
  DWORD method = whence == RawWhence::kStart ? FILE_BEGIN : whence == RawWhence::kCurrent ? FILE_CURRENT : FILE_END;
  if (!SetFilePointerEx(H(file), to, &at, method)) return -1;
  return at.QuadPart;
}

bool RawTruncate(std::intptr_t file, std::int64_t length) {
  return RawSeek(file, length, RawWhence::kStart) == length && SetEndOfFile(H(file));
}

bool IdentifyHandle(HANDLE h, FileIdentity* id) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(h, &info)) return false;
  id->device = info.dwVolumeSerialNumber;
  id->inode = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  id->is_directory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  return true;
}

bool RawIdentify(std::intptr_t file, FileIdentity* id) { return IdentifyHandle(H(file), id); }

bool RawClose(std::intptr_t file) { return CloseHandle(H(file)) != 0; }

const RawFileOps kRawOps = {RawRead, RawWrite, RawSeek, RawTruncate, RawIdentify, RawClose};

const wchar_t* Wide(const KivPathChar* path) { return reinterpret_cast<const wchar_t*>(path); }

// An output is shared for reading only while it is written: another
// writer, in this process or any other, cannot open it, and it cannot be
// deleted or renamed over; that writer's open fails with a sharing
// violation and leaves the file as it was (CREATE_ALWAYS empties the file
// only once it is open).
FileStream* Open(const FileSystem*, const KivPathChar* path, OpenMode mode, OutputOpen* why) {
  OutputOpen ignored;
  OutputOpen* result = why != nullptr ? why : &ignored;
  *result = OutputOpen::kCannotCreate;
  // A device (NUL, CON, COM1...) is never opened as an output.
  if (mode != OpenMode::kRead && IsWindowsDeviceName(Wide(path))) return nullptr;
  HANDLE h = mode == OpenMode::kRead
                 ? CreateFileW(Wide(path), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)
                 : CreateFileW(Wide(path), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                               mode == OpenMode::kWrite ? CREATE_ALWAYS : OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                               nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) *result = OutputOpen::kInUse;
    return nullptr;
  }
  // A WAVE output is finished by seeking back to its header, and must be
  // a file on a disk: a pipe, a console or a port is refused before
  // anything is written.
  if (mode != OpenMode::kRead && GetFileType(h) != FILE_TYPE_DISK) {
    CloseHandle(h);
    return nullptr;
  }
  FileStream* s = NewBufferedStream(&kRawOps, reinterpret_cast<std::intptr_t>(h));
  if (s != nullptr) *result = OutputOpen::kOpened;
  return s;
}

NameLookup IdentifyName(const FileSystem*, const KivPathChar* path, FileIdentity* id) {
  // A device is not a file, and is not opened even to be looked at.
  if (IsWindowsDeviceName(Wide(path))) return NameLookup::kAbsent;
  // No access rights are needed to read a file's identity; the backup
  // semantics flag lets a directory be opened too.
  HANDLE h = CreateFileW(Wide(path), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? NameLookup::kAbsent : NameLookup::kFailed;
  }
  bool ok = IdentifyHandle(h, id);
  CloseHandle(h);
  return ok ? NameLookup::kFound : NameLookup::kFailed;
}

const FileSystem kWin32FileSystem = {Open, IdentifyName, nullptr};

}  // namespace

const FileSystem* DefaultFileSystem() { return &kWin32FileSystem; }

}  // namespace kiv
