// A library slow in its entry point, as a server's overlay or anti-cheat module can be: each
// notification (process and thread attach and detach) sleeps TAMSEL_SLOW_ENTRY_MS, holding the
// loader lock all the while.
#include <windows.h>

#include <cstdlib>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
  char value[16] = {};
  if (GetEnvironmentVariableA("TAMSEL_SLOW_ENTRY_MS", value, sizeof value) > 0)
    Sleep(static_cast<DWORD>(std::atoi(value)));
  return TRUE;
}
