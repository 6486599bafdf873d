#pragma once

// Reading a loaded module's image: its data directories, and its import table, the entries
// through which its calls of other modules' functions go.
#include <windows.h>

// NOLINTNEXTLINE(bugprone-reserved-identifier): the linker's name for this module's image.
extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace tamsel::platform {

// The module this code is linked into: the library, or a program in the tests.
inline HMODULE ThisModule() {
  return reinterpret_cast<HMODULE>(&__ImageBase);
}

// The module's data directory `index` (IMAGE_DIRECTORY_ENTRY_...), as an address in the loaded
// image; null when the module has none or is not an image.
inline BYTE* ImageDirectory(HMODULE module, int index) {
  auto* base = reinterpret_cast<BYTE*>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  if (dos->e_magic != IMAGE_DOS_SIGNATURE) return nullptr;
  const auto* headers = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  if (headers->Signature != IMAGE_NT_SIGNATURE) return nullptr;
  const IMAGE_DATA_DIRECTORY& directory = headers->OptionalHeader.DataDirectory[index];
  return directory.VirtualAddress != 0 ? base + directory.VirtualAddress : nullptr;
}

// Calls visit(entry, name) for every entry of `module`'s import table that imports a function
// by name (entries imported by ordinal, or listed without names, cannot be told apart), until
// visit returns false.
template <typename Visit>
void ForEachImportByName(HMODULE module, Visit visit) {
  auto* base = reinterpret_cast<BYTE*>(module);
  BYTE* imports = ImageDirectory(module, IMAGE_DIRECTORY_ENTRY_IMPORT);
  if (imports == nullptr) return;
  for (auto* library = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(imports); library->Name != 0;
       ++library) {
    if (library->OriginalFirstThunk == 0) continue;
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + library->OriginalFirstThunk);
    auto* entries = reinterpret_cast<IMAGE_THUNK_DATA*>(base + library->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++entries) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const auto* byName =
          reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      if (!visit(reinterpret_cast<void**>(&entries->u1.Function),
                 reinterpret_cast<const char*>(byName->Name))) {
        return;
      }
    }
  }
}

// Writes `value` into an import table entry if it still holds `expected`.
inline bool SwapImportEntry(void** entry, void* expected, void* value) {
  DWORD protection = 0;
  if (!VirtualProtect(entry, sizeof(void*), PAGE_READWRITE, &protection)) return false;
  const bool swapped = InterlockedCompareExchangePointer(entry, value, expected) == expected;
  VirtualProtect(entry, sizeof(void*), protection, &protection);
  return swapped;
}

}  // namespace tamsel::platform
