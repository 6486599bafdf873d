#include "platform/ProcessExit.h"

#include <windows.h>

#include <array>
#include <atomic>
#include <cstring>

namespace platform {
namespace {

using ExitProcessFunction = void(WINAPI*)(UINT);
using ExitFunction = void(__cdecl*)(int);

// An import table entry that now leads here, and what it held before.
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
  void* replacement;
  std::atomic<void*>* firstOriginal;
};

const Redirection kRedirections[] = {
    {"ExitProcess", reinterpret_cast<void*>(&ExitProcessAfterSave), &gExitProcess},
    {"exit", reinterpret_cast<void*>(&ExitAfterSave), &gExit},
};

const Redirection* RedirectionFor(const char* importName) {
  for (const Redirection& redirection : kRedirections) {
    if (std::strcmp(importName, redirection.name) == 0) return &redirection;
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
      const Redirection* redirection = RedirectionFor(reinterpret_cast<const char*>(byName->Name));
      if (redirection == nullptr) continue;
      auto** entry = reinterpret_cast<void**>(&entries->u1.Function);
      void* original = *entry;
      if (original == redirection->replacement) continue;
      if (gRedirectedCount == gRedirected.size()) return;
      void* none = nullptr;
      redirection->firstOriginal->compare_exchange_strong(none, original);
      if (SwapEntry(entry, original, redirection->replacement)) {
        gRedirected[gRedirectedCount++] = {entry, original, redirection->replacement};
      }
    }
  }
}

}  // namespace

int InterceptProcessExit(void (*beforeExit)()) noexcept {
  gBeforeExit.store(beforeExit);
  for (const wchar_t* name :
       {static_cast<const wchar_t*>(nullptr), L"msvcrt.dll", L"ucrtbase.dll"}) {
    const HMODULE module = GetModuleHandleW(name);
    if (module != nullptr) RedirectImports(module);
  }
  return static_cast<int>(gRedirectedCount);
}

void ReleaseProcessExit() noexcept {
  for (std::size_t i = 0; i < gRedirectedCount; ++i) {
    SwapEntry(gRedirected[i].entry, gRedirected[i].replacement, gRedirected[i].original);
  }
  gRedirectedCount = 0;
  gBeforeExit.store(nullptr);
}

// A worker holds its own reference to the library until its thread has ended.
bool CodeOutlivesUnload() noexcept {
  return true;
}

}  // namespace platform
