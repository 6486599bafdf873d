#include "platform/ProcessExit.h"

#include <windows.h>

#include <array>
#include <atomic>
#include <cstring>

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
std::array<RedirectedEntry, 16> gRedirected{};
std::size_t gRedirectedCount = 0;
// The first original of each redirected function.
std::atomic<void*> gExitProcess{nullptr};
std::atomic<void*> gExit{nullptr};
std::atomic<void (*)()> gBeforeExit{nullptr};

void HoldWithOwnReference(void* codeAddress) {
  // A reference of its own, never given back: the save's end may drop the library's last
  // other reference while this thread still runs here. The process is ending anyway.
  HMODULE self = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, static_cast<LPCWSTR>(codeAddress),
                     &self);
  if (auto beforeExit = gBeforeExit.load()) beforeExit();
}

void WINAPI ExitProcessAfterSave(UINT exitCode) {
  HoldWithOwnReference(reinterpret_cast<void*>(&ExitProcessAfterSave));
  if (void* exitProcess = gExitProcess.load()) {
    reinterpret_cast<ExitProcessFunction>(exitProcess)(exitCode);
  }
  ExitProcess(exitCode);
}

// exit() runs the program's exit functions (its static objects' destructors among them) before
// it reaches ExitProcess; a save still running must finish before those objects go.
void __cdecl ExitAfterSave(int exitCode) {
  HoldWithOwnReference(reinterpret_cast<void*>(&ExitAfterSave));
  if (void* exit = gExit.load()) reinterpret_cast<ExitFunction>(exit)(exitCode);
  ExitProcessAfterSave(static_cast<UINT>(exitCode));
}

// The imports redirected, by name, and where the first original of each is kept.
struct Redirection {
  const char* name;
  void* function;  // in this library
  std::atomic<void*>* firstOriginal;
};

const Redirection kRedirections[] = {
    {"ExitProcess", reinterpret_cast<void*>(&ExitProcessAfterSave), &gExitProcess},
    {"exit", reinterpret_cast<void*>(&ExitAfterSave), &gExit},
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
ExitJumps gJumps;

const Redirection* RedirectionFor(const char* importName, void** jump) {
  for (std::size_t i = 0; i < kRedirectionCount; ++i) {
    if (std::strcmp(importName, kRedirections[i].name) == 0) {
      *jump = gJumps.Address(i);
      return &kRedirections[i];
    }
  }
  return nullptr;
}

// Writes `value` into an import table entry if it still holds `expected`.
bool SwapEntry(void** entry, void* expected, void* value) {
  DWORD protection = 0;
  if (!VirtualProtect(entry, sizeof(void*), PAGE_READWRITE, &protection)) return false;
  const bool swapped = InterlockedCompareExchangePointer(entry, value, expected) == expected;
  VirtualProtect(entry, sizeof(void*), protection, &protection);
  return swapped;
}

// Every entry of `module`'s import table that imports ExitProcess or exit, by name.
void RedirectImports(HMODULE module) {
  auto* base = reinterpret_cast<BYTE*>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  if (dos->e_magic != IMAGE_DOS_SIGNATURE) return;
  const auto* headers = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  if (headers->Signature != IMAGE_NT_SIGNATURE) return;
  const IMAGE_DATA_DIRECTORY& imports =
      headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (imports.VirtualAddress == 0) return;
  for (auto* library = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
       library->Name != 0; ++library) {
    // Without the names the entries cannot be told apart.
    if (library->OriginalFirstThunk == 0) continue;
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + library->OriginalFirstThunk);
    auto* entries = reinterpret_cast<IMAGE_THUNK_DATA*>(base + library->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++entries) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const auto* byName =
          reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      void* jump = nullptr;
      const Redirection* redirection =
          RedirectionFor(reinterpret_cast<const char*>(byName->Name), &jump);
      if (redirection == nullptr) continue;
      auto** entry = reinterpret_cast<void**>(&entries->u1.Function);
      void* original = *entry;
      if (original == jump) continue;
      if (gRedirectedCount == gRedirected.size()) return;
      void* none = nullptr;
      redirection->firstOriginal->compare_exchange_strong(none, original);
      if (SwapEntry(entry, original, jump)) {
        gRedirected[gRedirectedCount++] = {entry, original, jump};
      }
    }
  }
}

}  // namespace

int InterceptProcessExit(void (*beforeExit)()) noexcept {
  if (!gJumps.Make()) return 0;
  gBeforeExit.store(beforeExit);
  for (const wchar_t* name :
       {static_cast<const wchar_t*>(nullptr), L"msvcrt.dll", L"ucrtbase.dll"}) {
    const HMODULE module = GetModuleHandleW(name);
    if (module != nullptr) RedirectImports(module);
  }
  return static_cast<int>(gRedirectedCount);
}

void ReleaseProcessExit() noexcept {
  gJumps.LeadToOriginals();
  bool allPutBack = true;
  for (std::size_t i = 0; i < gRedirectedCount; ++i) {
    // An entry that another module has redirected since leads to its code, which calls on
    // through the jump: that entry stays, and so does the jump.
    allPutBack =
        SwapEntry(gRedirected[i].entry, gRedirected[i].replacement, gRedirected[i].original) &&
        allPutBack;
  }
  gRedirectedCount = 0;
  gBeforeExit.store(nullptr);
  if (allPutBack) {
    gJumps.Free();
  } else {
    gJumps.Keep();
  }
}

// A worker holds its own reference to the library until its thread has ended.
bool CodeOutlivesUnload() noexcept {
  return true;
}

}  // namespace platform
