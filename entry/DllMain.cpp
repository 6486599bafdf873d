#include "entry/DllMain.h"

#include "plugin/Lifecycle.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE /*module*/, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      tamsel::PluginLoad();
      break;
    case DLL_PROCESS_DETACH:
      // Not null: the process is ending and every other thread has already been ended.
      tamsel::PluginUnload(reserved != nullptr);
      break;
    default:  // thread notifications, the save workers' among them
      break;
  }
  return TRUE;
}
