// A library whose entry point holds the process's loader lock for as long as a test wants: the
// loading thread sets the event "<prefix>held-<pid>" inside its attach notification, then waits
// there until "<prefix>release-<pid>" is set. As a slow DLL of a real server's (an overlay, an
// anti-cheat module) holds it while it loads. A program that exports
// "TamselTestUnderLoaderLock" has it called there instead, when it has work to do under the
// lock on the loading thread itself (it returns false when it has none).
#include <windows.h>

#include <string>

namespace {

HANDLE OpenNamedEvent(const wchar_t* what) {
  const std::wstring name =
      std::wstring(L"TamselLoaderLock-") + what + L"-" + std::to_wstring(GetCurrentProcessId());
  return CreateEventW(nullptr, TRUE, FALSE, name.c_str());
}

bool ProgramsWorkDone() {
  using Work = bool (*)();
  const auto work = reinterpret_cast<Work>(
      GetProcAddress(GetModuleHandleW(nullptr), "TamselTestUnderLoaderLock"));
  return work != nullptr && work();
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH && !ProgramsWorkDone()) {
    HANDLE held = OpenNamedEvent(L"held");
    HANDLE release = OpenNamedEvent(L"release");
    SetEvent(held);
    WaitForSingleObject(release, INFINITE);
    CloseHandle(held);
    CloseHandle(release);
  }
  return TRUE;
}
