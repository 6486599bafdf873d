// Drives DllMain from the shared library's load and unload, as the Windows loader does.
//
// The detach must run while the library's static objects (the logger holder among them) are
// still alive. A destructor function does not give that: glibc runs it before the C++ static
// destructors at dlclose but after them at process exit. A static object constructed at the end
// of the attach is destroyed before everything the attach created, in both cases, because
// static destructors run in the reverse order of construction.
//
// The same difference tells the two unloads apart: a destructor function that has run before
// the static destructors means dlclose; one that has not means the process is exiting, and the
// exit hook runs first, as the redirected exit functions run it on Windows.
#include <atomic>

#include "entry/DllMain.h"
#include "platform/ProcessExit.h"

namespace {

std::atomic<bool> ClosedByProgram{false};

__attribute__((destructor)) void NoteClosedByProgram() {
  ClosedByProgram.store(true);
}

struct DetachOnUnload {
  DetachOnUnload() = default;
  DetachOnUnload(const DetachOnUnload&) = delete;
  DetachOnUnload& operator=(const DetachOnUnload&) = delete;
  ~DetachOnUnload() {
    if (!ClosedByProgram.load()) tamsel::platform::NoteProcessExit();
    DllMain(nullptr, DLL_PROCESS_DETACH, nullptr);
  }
};

__attribute__((constructor)) void AttachOnLoad() {
  DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr);
  static DetachOnUnload detach;
}

}  // namespace
