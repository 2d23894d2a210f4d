// SPDX-License-Identifier: MIT
// kivgsm.dll's entry point. Loading builds no state: every recorder and
// channel is zero-initialised static storage, so there is nothing to do
// but decline the per-thread notifications. At process exit the C++
// runtime's destructors finish running recordings' files
// (record/finish_at_unload.cpp).
#include <windows.h>

#include "record/library_lifetime.h"

namespace kiv {

// Pins the DLL: FreeLibrary while a delivery thread runs our callback
// would leave it running code that is gone.
void KeepLibraryLoaded() {
  HMODULE self;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                     reinterpret_cast<LPCWSTR>(&KeepLibraryLoaded), &self);
}

}  // namespace kiv

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
  return TRUE;
}
