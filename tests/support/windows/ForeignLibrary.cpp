// A library of nobody's in particular, linked at the same preferred address as the plug-in:
// loaded once the plug-in has gone, it takes the plug-in's old place.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
  return TRUE;
}
