// The DllMain a module without one of its own gets (taken from the archive only then).
#include <windows.h>
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
  return TRUE;
}
