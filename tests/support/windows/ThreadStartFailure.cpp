#include <windows.h>

#include "platform/windows/ModuleImage.h"
#include "tests/support/Faults.h"

// Windows has no process-wide way to make thread creation fail, so this program's own import
// of CreateThread, through which the plug-in's code linked in here starts its threads, is
// pointed at a function that fails as the system does when it has no thread to give.
namespace {

void* RealCreateThread = nullptr;

HANDLE WINAPI CreateThreadFails(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID,
                                DWORD, LPDWORD) {
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return nullptr;
}

// Points this program's CreateThread entries at `to` where they hold `from`; true if any did.
bool SwapCreateThread(void* from, void* to) {
  bool swapped = false;
  tamsel::platform::ForEachImportByName(
      GetModuleHandleW(nullptr), [&](void** entry, const char* name) {
        if (lstrcmpA(name, "CreateThread") == 0 && *entry == from) {
          swapped = tamsel::platform::SwapImportEntry(entry, from, to) || swapped;
        }
        return true;
      });
  return swapped;
}

}  // namespace

ThreadStartFailure::ThreadStartFailure() {
  RealCreateThread =
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "CreateThread"));
  active_ = RealCreateThread != nullptr &&
            SwapCreateThread(RealCreateThread, reinterpret_cast<void*>(&CreateThreadFails));
}

ThreadStartFailure::~ThreadStartFailure() {
  if (active_) SwapCreateThread(reinterpret_cast<void*>(&CreateThreadFails), RealCreateThread);
}
