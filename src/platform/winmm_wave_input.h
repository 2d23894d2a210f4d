// SPDX-License-Identifier: MIT
// The waveform-input backend on Windows, over winmm's waveIn functions.
// They are reached through this table so that a test can put a fake of
// winmm in their place, one that keeps Windows' documented rules where
// Wine is lenient (waveInClose with a buffer still queued).
#pragma once

#include <windows.h>
#include <mmsystem.h>

namespace kiv {

struct WinmmApi {
  MMRESULT(WINAPI* open)(LPHWAVEIN, UINT, LPCWAVEFORMATEX, DWORD_PTR, DWORD_PTR, DWORD);
  MMRESULT(WINAPI* prepare)(HWAVEIN, LPWAVEHDR, UINT);
  MMRESULT(WINAPI* add)(HWAVEIN, LPWAVEHDR, UINT);
  MMRESULT(WINAPI* start)(HWAVEIN);
  MMRESULT(WINAPI* reset)(HWAVEIN);
  MMRESULT(WINAPI* unprepare)(HWAVEIN, LPWAVEHDR, UINT);
  MMRESULT(WINAPI* close)(HWAVEIN);
};

// nullptr restores winmm itself.
void SetWinmmApiForTesting(const WinmmApi* api);

}  // namespace kiv
