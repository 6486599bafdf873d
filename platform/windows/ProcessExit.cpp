#include "platform/ProcessExit.h"

#include <windows.h>

#include <array>
#include <atomic>
#include <cstring>

#include "windows/ModuleImage.h"
#include "windows/OutlivingCode.h"

namespace tamsel::platform {
namespace {

using ExitProcessFunction = void(WINAPI*)(UINT);
using ExitFunction = void(__cdecl*)(int);

// An import table entry that now leads here (through outliving code), and what it held before.
struct RedirectedEntry {
  void** entry = nullptr;
  void* original = nullptr;
  void* replacement = nullptr;
};

// Written while loading, before any entry leads here; read by the exiting thread.
std::array<RedirectedEntry, 16> Redirected{};
std::size_t RedirectedCount = 0;
// The first original of each redirected function.
std::atomic<void*> OriginalExitProcess{nullptr};
std::atomic<void*> OriginalExit{nullptr};
std::atomic<void (*)()> BeforeExit{nullptr};

// Reached through an outliving entry, which took a reference to the library of its own for
// this thread and never gives it back: the save's end may drop the library's last other
// reference while this thread still runs here, and the process is ending anyway.
void RunBeforeExit() {
  if (auto beforeExit = BeforeExit.load()) beforeExit();
}

void WINAPI ExitProcessAfterSave(UINT exitCode) {
  RunBeforeExit();
  if (void* exitProcess = OriginalExitProcess.load()) {
    reinterpret_cast<ExitProcessFunction>(exitProcess)(exitCode);
  }
  ExitProcess(exitCode);
}

// exit() runs the program's exit functions (its static objects' destructors among them) before
// it reaches ExitProcess; a save still running must finish before those objects go.
void __cdecl ExitAfterSave(int exitCode) {
  RunBeforeExit();
  if (void* exit = OriginalExit.load()) reinterpret_cast<ExitFunction>(exit)(exitCode);
  ExitProcessAfterSave(static_cast<UINT>(exitCode));
}

// The imports redirected, by name, and where the first original of each is kept. The entries
// lead to outliving code, not into this library: an exit that comes while another thread
// unloads the library waits there for the unload to end, then goes to the original; a module
// that redirects the same import after this one calls on through that code, also once this
// library is gone.
struct Redirection {
  const char* name;
  void* function;  // in this library
  std::atomic<void*>* firstOriginal;
  OutlivingEntry entry;
};

const Redirection kRedirections[] = {
    {"ExitProcess", reinterpret_cast<void*>(&ExitProcessAfterSave), &OriginalExitProcess,
     OutlivingEntry::ExitProcess},
    {"exit", reinterpret_cast<void*>(&ExitAfterSave), &OriginalExit, OutlivingEntry::Exit},
};

const Redirection* RedirectionFor(const char* importName) {
  for (const Redirection& redirection : kRedirections) {
    if (std::strcmp(importName, redirection.name) == 0) return &redirection;
  }
  return nullptr;
}

// Every entry of `module`'s import table that imports ExitProcess or exit, by name.
void RedirectImports(HMODULE module) {
  ForEachImportByName(module, [](void** entry, const char* name) {
    const Redirection* redirection = RedirectionFor(name);
    if (redirection == nullptr) return true;
    void* const outliving = OutlivingEntryAddress(redirection->entry);
    void* original = *entry;
    if (original == outliving) return true;
    if (RedirectedCount == Redirected.size()) return false;
    void* first = nullptr;
    if (redirection->firstOriginal->compare_exchange_strong(first, original)) {
      SetOutlivingTargets(redirection->entry, redirection->function, original);
    }
    if (SwapImportEntry(entry, original, outliving)) {
      Redirected[RedirectedCount++] = {entry, original, outliving};
    }
    return true;
  });
}

}  // namespace

int InterceptProcessExit(void (*beforeExit)()) noexcept {
  if (!MakeOutlivingCode()) return 0;
  BeforeExit.store(beforeExit);
  for (const wchar_t* name :
       {static_cast<const wchar_t*>(nullptr), L"msvcrt.dll", L"ucrtbase.dll"}) {
    const HMODULE module = GetModuleHandleW(name);
    if (module != nullptr) RedirectImports(module);
  }
  return static_cast<int>(RedirectedCount);
}

void ReleaseProcessExit() noexcept {
  for (const Redirection& redirection : kRedirections)
    LeadToOtherwise(redirection.entry);
  bool allPutBack = true;
  for (std::size_t i = 0; i < RedirectedCount; ++i) {
    // An entry that another module has redirected since leads to its code, which calls on
    // through the jump: that entry stays, and so does the jump.
    allPutBack =
        SwapImportEntry(Redirected[i].entry, Redirected[i].replacement, Redirected[i].original) &&
        allPutBack;
  }
  RedirectedCount = 0;
  BeforeExit.store(nullptr);
  if (!allPutBack) KeepOutlivingCode();
}

bool ProcessIsExiting() noexcept {
  return false;
}

// A worker holds its own reference to the library until its thread has ended.
bool CodeOutlivesUnload() noexcept {
  return true;
}

}  // namespace tamsel::platform
