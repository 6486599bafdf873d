#include "platform/ProcessExit.h"

#include <atomic>

namespace tamsel::platform {
namespace {

std::atomic<void (*)()> BeforeExit{nullptr};
std::atomic<bool> ProcessExiting{false};

}  // namespace

// Nothing to redirect: the library entry calls the hook when the process exits.
int InterceptProcessExit(void (*beforeExit)()) noexcept {
  BeforeExit.store(beforeExit);
  return 0;
}

void ReleaseProcessExit() noexcept {
  BeforeExit.store(nullptr);
}

void NoteProcessExit() noexcept {
  ProcessExiting.store(true);
  if (void (*beforeExit)() = BeforeExit.load()) beforeExit();
}

bool ProcessIsExiting() noexcept {
  return ProcessExiting.load();
}

// glibc unmaps nothing at exit; dlclose unmaps the library as soon as its unload returns.
bool CodeOutlivesUnload() noexcept {
  return ProcessExiting.load();
}

}  // namespace tamsel::platform
