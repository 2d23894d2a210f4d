// SPDX-License-Identifier: MIT
/*
 * A host linked against kivgsm.dll's import library at build time, with no
 * C runtime: the same source links with MinGW's ld against
 * lib/libkivgsm.dll.a and with an MSVC-style linker (lld-link) against
 * lib/kivgsm.lib. It calls all five entry points through the import table:
 * speech.raw in the current folder to OUTPUT (a wide string literal, given
 * at compile time), a missing input, and the recorders' refusals of a null
 * path. Exits 0 when every result is the documented one.
 */
#include "kivgsm.h"

// The Windows API's convention, which KIV_CALL follows on x86.
__declspec(dllimport) void KIV_CALL ExitProcess(unsigned int code);

void HostMain(void) {
  int ok = KivWave2GSM610(L"speech.raw", OUTPUT) == KIV_OK;
  ok = ok && KivWave2GSM610(L"missing.raw", L"never.wav") == KIV_ERR_INPUT_READ;
  ok = ok && KivGSMSoundRecorderStart(0) == KIV_ERR_ARGUMENT && KivGSMWAVSoundRecorderStart(0) == KIV_ERR_ARGUMENT;
  ok = ok && KivGSMSoundRecorderStop() == 0 && KivGSMWAVSoundRecorderStop() == 0;
  ExitProcess(ok ? 0 : 1);
}
