// SPDX-License-Identifier: MIT
#include "platform/windows_device_name.h"

#include <cwchar>
#include <cwctype>

namespace kiv {
namespace {

bool SameLetters(const wchar_t* a, const wchar_t* upper, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    if (std::towupper(static_cast<std::wint_t>(a[i])) != static_cast<std::wint_t>(upper[i])) return false;
  return true;
}

}  // namespace

bool IsWindowsDeviceName(const wchar_t* path) {
  if (path == nullptr) return false;
  if (std::wcsncmp(path, L"\\\\.\\", 4) == 0 || std::wcsncmp(path, L"//./", 4) == 0) return true;
  const wchar_t* last = path;
  for (const wchar_t* p = path; *p != 0; ++p)
    if (*p == L'\\' || *p == L'/' || *p == L':') last = p + 1;
  // The stem: up to the first dot, without the spaces Windows drops.
  std::size_t stem = 0;
  while (last[stem] != 0 && last[stem] != L'.') ++stem;
  while (stem > 0 && last[stem - 1] == L' ') --stem;
  if (stem == 3)
    return SameLetters(last, L"CON", 3) || SameLetters(last, L"PRN", 3) || SameLetters(last, L"AUX", 3) ||
           SameLetters(last, L"NUL", 3);
  if (stem == 4 && last[3] >= L'1' && last[3] <= L'9') return SameLetters(last, L"COM", 3) || SameLetters(last, L"LPT", 3);
  return (stem == 6 && SameLetters(last, L"CONIN$", 6)) || (stem == 7 && SameLetters(last, L"CONOUT$", 7));
}

}  // namespace kiv
