#include "platform/ProcessExit.h"

#include <windows.h>

#include <array>
#include <atomic>
#include <cstring>

#include "windows/ModuleImage.h"

namespace platform {
namespace {

using ExitProcessFunction = void(WINAPI*)(UINT);
using ExitFunction = void(__cdecl*)(int);

// An import table entry that now leads here (through its jump), and what it held before.
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

void HoldWithOwnReference(void* codeAddress) {
  // A reference of its own, never given back: the save's end may drop the library's last
  // other reference while this thread still runs here. The process is ending anyway.
  HMODULE self = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, static_cast<LPCWSTR>(codeAddress),
                     &self);
  if (auto beforeExit = BeforeExit.load()) beforeExit();
}

void WINAPI ExitProcessAfterSave(UINT exitCode) {
  HoldWithOwnReference(reinterpret_cast<void*>(&ExitProcessAfterSave));
  if (void* exitProcess = OriginalExitProcess.load()) {
    reinterpret_cast<ExitProcessFunction>(exitProcess)(exitCode);
  }
  ExitProcess(exitCode);
}

// exit() runs the program's exit functions (its static objects' destructors among them) before
// it reaches ExitProcess; a save still running must finish before those objects go.
void __cdecl ExitAfterSave(int exitCode) {
  HoldWithOwnReference(reinterpret_cast<void*>(&ExitAfterSave));
  if (void* exit = OriginalExit.load()) reinterpret_cast<ExitFunction>(exit)(exitCode);
  ExitProcessAfterSave(static_cast<UINT>(exitCode));
}

// The imports redirected, by name, and where the first original of each is kept.
struct Redirection {
  const char* name;
  void* function;  // in this library
  std::atomic<void*>* firstOriginal;
};

const Redirection kRedirections[] = {
    {"ExitProcess", reinterpret_cast<void*>(&ExitProcessAfterSave), &OriginalExitProcess},
    {"exit", reinterpret_cast<void*>(&ExitAfterSave), &OriginalExit},
};
constexpr std::size_t kRedirectionCount = sizeof(kRedirections) / sizeof(kRedirections[0]);

// The entries lead to jumps in memory of their own, not into this library: a module that
// redirects the same import after this one calls on through the jump it found there, also once
// this library is gone. The unload turns each jump to the function it replaced, and frees the
// memory only if no entry can still lead to it.
class ExitJumps {
 public:
  bool Make() {
    if (page_ != nullptr) return true;
    page_ = static_cast<Jump*>(VirtualAlloc(nullptr, sizeof(Jump) * kRedirectionCount,
                                            MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    if (page_ == nullptr) return false;
    for (std::size_t i = 0; i < kRedirectionCount; ++i) {
      // jmp qword ptr [rip+2]: to the address stored after the two bytes of padding.
      constexpr unsigned char kJump[8] = {0xFF, 0x25, 0x02, 0x00, 0x00, 0x00, 0xCC, 0xCC};
      std::memcpy(page_[i].code, kJump, sizeof(kJump));
      page_[i].target = kRedirections[i].function;
    }
    DWORD old = 0;
    VirtualProtect(page_, sizeof(Jump) * kRedirectionCount, PAGE_EXECUTE_READ, &old);
    FlushInstructionCache(GetCurrentProcess(), page_, sizeof(Jump) * kRedirectionCount);
    return true;
  }
  void* Address(std::size_t index) const { return page_ != nullptr ? &page_[index] : nullptr; }
  // Each jump leads to the function it replaced; executable throughout, for a thread in it now.
  void LeadToOriginals() {
    if (page_ == nullptr) return;
    DWORD old = 0;
    VirtualProtect(page_, sizeof(Jump) * kRedirectionCount, PAGE_EXECUTE_READWRITE, &old);
    for (std::size_t i = 0; i < kRedirectionCount; ++i) {
      if (void* original = kRedirections[i].firstOriginal->load()) {
        InterlockedExchangePointer(&page_[i].target, original);
      }
    }
    VirtualProtect(page_, sizeof(Jump) * kRedirectionCount, PAGE_EXECUTE_READ, &old);
  }
  void Free() {
    if (page_ != nullptr) VirtualFree(page_, 0, MEM_RELEASE);
    page_ = nullptr;
  }
  // Kept for good: an entry that could not be put back leads here.
  void Keep() { page_ = nullptr; }

 private:
  struct Jump {
    unsigned char code[8];
    void* target;  // aligned, so that it changes in one store
  };
  Jump* page_ = nullptr;
};
ExitJumps Jumps;

const Redirection* RedirectionFor(const char* importName, void** jump) {
  for (std::size_t i = 0; i < kRedirectionCount; ++i) {
    if (std::strcmp(importName, kRedirections[i].name) == 0) {
      *jump = Jumps.Address(i);
      return &kRedirections[i];
    }
  }
  return nullptr;
}

// Every entry of `module`'s import table that imports ExitProcess or exit, by name.
void RedirectImports(HMODULE module) {
  ForEachImportByName(module, [](void** entry, const char* name) {
    void* jump = nullptr;
    const Redirection* redirection = RedirectionFor(name, &jump);
    if (redirection == nullptr) return true;
    void* original = *entry;
    if (original == jump) return true;
    if (RedirectedCount == Redirected.size()) return false;
    void* none = nullptr;
    redirection->firstOriginal->compare_exchange_strong(none, original);
    if (SwapImportEntry(entry, original, jump)) {
      Redirected[RedirectedCount++] = {entry, original, jump};
    }
    return true;
  });
}

}  // namespace

int InterceptProcessExit(void (*beforeExit)()) noexcept {
  if (!Jumps.Make()) return 0;
  BeforeExit.store(beforeExit);
  for (const wchar_t* name :
       {static_cast<const wchar_t*>(nullptr), L"msvcrt.dll", L"ucrtbase.dll"}) {
    const HMODULE module = GetModuleHandleW(name);
    if (module != nullptr) RedirectImports(module);
  }
  return static_cast<int>(RedirectedCount);
}

void ReleaseProcessExit() noexcept {
  Jumps.LeadToOriginals();
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
  if (allPutBack) {
    Jumps.Free();
  } else {
    Jumps.Keep();
  }
}

bool ProcessIsExiting() noexcept {
  return false;
}

// A worker holds its own reference to the library until its thread has ended.
bool CodeOutlivesUnload() noexcept {
  return true;
}

}  // namespace platform
