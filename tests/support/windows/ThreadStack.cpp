#include <windows.h>

#include "tests/support/Faults.h"

namespace {

DWORD WINAPI CallFunction(LPVOID fn) {
  reinterpret_cast<void (*)()>(fn)();
  return 0;
}

}  // namespace

void RunOnThreadWithStack(std::size_t bytes, void (*fn)()) {
  HANDLE thread = CreateThread(nullptr, bytes, &CallFunction, reinterpret_cast<void*>(fn),
                               STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (thread == nullptr) return;
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
}
