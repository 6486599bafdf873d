#include "platform/ProcessExit.h"

#include <atomic>

#include "platform/posix/ProcessExitHook.h"

namespace platform {
namespace {

std::atomic<void (*)()> gBeforeExit{nullptr};
std::atomic<bool> gProcessExiting{false};

}  // namespace

// Nothing to redirect: the library entry calls the hook when the process exits.
int InterceptProcessExit(void (*beforeExit)()) noexcept {
  gBeforeExit.store(beforeExit);
  return 0;
}

void ReleaseProcessExit() noexcept {
  gBeforeExit.store(nullptr);
}

void NoteProcessExit() noexcept {
  gProcessExiting.store(true);
  if (void (*beforeExit)() = gBeforeExit.load()) beforeExit();
}

// glibc unmaps nothing at exit; dlclose unmaps the library as soon as its unload returns.
bool CodeOutlivesUnload() noexcept {
  return gProcessExiting.load();
}

}  // namespace platform
