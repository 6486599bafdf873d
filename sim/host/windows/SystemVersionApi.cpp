// A host loader that the server imports as "version.dll" takes the place of the system's DLL of
// that name, so it must serve the system's version API as well: every other module of the
// process (the system's dbghelp.dll among them) gets GetFileVersionInfo and its kin from here.
// Each function passes the call on to the system's own version.dll.
// The system's headers declare these functions as imports; they are defined here as exports.
#define GetFileVersionInfoSizeA SystemDeclaredGetFileVersionInfoSizeA
#define GetFileVersionInfoSizeW SystemDeclaredGetFileVersionInfoSizeW
#define GetFileVersionInfoSizeExA SystemDeclaredGetFileVersionInfoSizeExA
#define GetFileVersionInfoSizeExW SystemDeclaredGetFileVersionInfoSizeExW
#define GetFileVersionInfoA SystemDeclaredGetFileVersionInfoA
#define GetFileVersionInfoW SystemDeclaredGetFileVersionInfoW
#define GetFileVersionInfoExA SystemDeclaredGetFileVersionInfoExA
#define GetFileVersionInfoExW SystemDeclaredGetFileVersionInfoExW
#define VerQueryValueA SystemDeclaredVerQueryValueA
#define VerQueryValueW SystemDeclaredVerQueryValueW
#include <windows.h>
#undef GetFileVersionInfoSizeA
#undef GetFileVersionInfoSizeW
#undef GetFileVersionInfoSizeExA
#undef GetFileVersionInfoSizeExW
#undef GetFileVersionInfoA
#undef GetFileVersionInfoW
#undef GetFileVersionInfoExA
#undef GetFileVersionInfoExW
#undef VerQueryValueA
#undef VerQueryValueW

#include <string>

namespace {

FARPROC SystemFunction(const char* name) {
  static const HMODULE system = [] {
    wchar_t folder[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return static_cast<HMODULE>(nullptr);
    return LoadLibraryW((std::wstring(folder) + L"\\version.dll").c_str());
  }();
  return system != nullptr ? GetProcAddress(system, name) : nullptr;
}

}  // namespace

// Fails as the system would without the function: FALSE or 0, with a reason to read.
#define TAMSEL_PASS_ON(Result, Name, Parameters, Arguments)                         \
  extern "C" __declspec(dllexport) Result WINAPI Name Parameters {                  \
    using Function = Result(WINAPI*) Parameters;                                    \
    static const auto function = reinterpret_cast<Function>(SystemFunction(#Name)); \
    if (function != nullptr) return function Arguments;                             \
    SetLastError(ERROR_PROC_NOT_FOUND);                                             \
    return Result{};                                                                \
  }

TAMSEL_PASS_ON(DWORD, GetFileVersionInfoSizeA, (LPCSTR file, LPDWORD handle), (file, handle))
TAMSEL_PASS_ON(DWORD, GetFileVersionInfoSizeW, (LPCWSTR file, LPDWORD handle), (file, handle))
TAMSEL_PASS_ON(DWORD, GetFileVersionInfoSizeExA, (DWORD flags, LPCSTR file, LPDWORD handle),
               (flags, file, handle))
TAMSEL_PASS_ON(DWORD, GetFileVersionInfoSizeExW, (DWORD flags, LPCWSTR file, LPDWORD handle),
               (flags, file, handle))
TAMSEL_PASS_ON(BOOL, GetFileVersionInfoA, (LPCSTR file, DWORD handle, DWORD size, LPVOID data),
               (file, handle, size, data))
TAMSEL_PASS_ON(BOOL, GetFileVersionInfoW, (LPCWSTR file, DWORD handle, DWORD size, LPVOID data),
               (file, handle, size, data))
TAMSEL_PASS_ON(BOOL, GetFileVersionInfoExA,
               (DWORD flags, LPCSTR file, DWORD handle, DWORD size, LPVOID data),
               (flags, file, handle, size, data))
TAMSEL_PASS_ON(BOOL, GetFileVersionInfoExW,
               (DWORD flags, LPCWSTR file, DWORD handle, DWORD size, LPVOID data),
               (flags, file, handle, size, data))
TAMSEL_PASS_ON(BOOL, VerQueryValueA, (LPCVOID block, LPCSTR path, LPVOID* value, PUINT length),
               (block, path, value, length))
TAMSEL_PASS_ON(BOOL, VerQueryValueW, (LPCVOID block, LPCWSTR path, LPVOID* value, PUINT length),
               (block, path, value, length))
