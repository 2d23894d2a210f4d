// kivgsm.dll's entry point. Loading builds no state: every recorder and
// channel is zero-initialised static storage, so there is nothing to do
// but decline the per-thread notifications.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
  return TRUE;
}
