// SPDX-License-Identifier: MIT
/*
 * Runs a command on this program's console and reads the console back:
 *
 *   console_host COMMAND TEXT   exits 0 when TEXT (UTF-16, as the console
 *                               holds it) is on the screen afterwards
 *
 * What the screen shows is what a user would read, whatever bytes the
 * command wrote and whatever the console's code page was. Under Wine the
 * program needs a terminal (a pty) to have a console at all.
 */
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 2;
  HANDLE screen = GetStdHandle(STD_OUTPUT_HANDLE);
  UINT code_page = GetConsoleOutputCP();
  STARTUPINFOW startup;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process;
  if (!CreateProcessW(NULL, argv[1], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) return 3;
  WaitForSingleObject(process.hProcess, INFINITE);
  static wchar_t text[80 * 200 + 1];
  DWORD got = 0;
  COORD origin = {0, 0};
  if (!ReadConsoleOutputCharacterW(screen, text, 80 * 200, origin, &got)) {
    fprintf(stderr, "cannot read the console back: error %lu\n", GetLastError());
    return 4;
  }
  text[got] = L'\0';
  if (GetConsoleOutputCP() != code_page) {
    fprintf(stderr, "the command left the console's code page at %u (it was %u)\n", GetConsoleOutputCP(), code_page);
    return 1;
  }
  return wcsstr(text, argv[2]) != NULL ? 0 : 1;
}
