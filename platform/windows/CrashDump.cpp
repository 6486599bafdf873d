#include "platform/CrashDump.h"

#include <windows.h>

#include <dbghelp.h>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

#include "platform/RegularFile.h"
#include "windows/CrashDumpAtFault.h"

namespace platform {
namespace {

constexpr const wchar_t* kDumpPrefix = L"save-crash-";

// Set while the library loads, read by the filters of save threads.
std::mutex SettingsMutex;
std::filesystem::path Folder;
int Keep = 0;

using WriteDumpFunction = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE,
                                        PMINIDUMP_EXCEPTION_INFORMATION,
                                        PMINIDUMP_USER_STREAM_INFORMATION,
                                        PMINIDUMP_CALLBACK_INFORMATION);

// "20261210-023015-123", UTC: names made of it sort by time whatever the time zone does.
std::wstring UtcTimestamp() {
  SYSTEMTIME now{};
  GetSystemTime(&now);
  wchar_t text[32];
  std::swprintf(text, sizeof(text) / sizeof(text[0]), L"%04u%02u%02u-%02u%02u%02u-%03u", now.wYear,
                now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
  return text;
}

[[noreturn]] void ThrowSystemError(DWORD error, const char* what) {
  throw std::system_error(static_cast<int>(error), std::system_category(), what);
}

// A new file in `folder` named by the time, with a counter where two dumps share a millisecond.
std::filesystem::path NewDumpFile(const std::filesystem::path& folder, HANDLE& file) {
  const std::wstring stem = kDumpPrefix + UtcTimestamp();
  for (int attempt = 1;; ++attempt) {
    const std::filesystem::path path =
        folder / (stem + (attempt == 1 ? L"" : L"-" + std::to_wstring(attempt)) + L".dmp");
    file = CreateFileW(LongPathForm(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) return path;
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS || attempt == 100) ThrowSystemError(error, "cannot create");
  }
}

// Every thread's stack and registers, the memory they point at, the modules' data sections,
// handles and modules; the fault's thread and exception record in the exception stream. Not
// the whole memory: a server's would take the disk's room and hold the game still (the dump
// suspends the other threads) for as long as it takes to write.
void WriteDump(HANDLE file, EXCEPTION_POINTERS* exception) {
  const HMODULE dbghelp = LoadLibraryW(L"dbghelp.dll");
  if (dbghelp == nullptr) ThrowSystemError(GetLastError(), "cannot load dbghelp.dll");
  const auto writeDump =
      reinterpret_cast<WriteDumpFunction>(GetProcAddress(dbghelp, "MiniDumpWriteDump"));
  MINIDUMP_EXCEPTION_INFORMATION fault{GetCurrentThreadId(), exception, FALSE};
  const auto kind = static_cast<MINIDUMP_TYPE>(
      MiniDumpWithDataSegs | MiniDumpWithIndirectlyReferencedMemory | MiniDumpWithHandleData |
      MiniDumpWithThreadInfo | MiniDumpWithUnloadedModules);
  const BOOL written = writeDump != nullptr && writeDump(GetCurrentProcess(), GetCurrentProcessId(),
                                                         file, kind, &fault, nullptr, nullptr);
  const DWORD error = GetLastError();
  FreeLibrary(dbghelp);
  if (!written) ThrowSystemError(error, "cannot write");
}

// The newest `keep` dumps stay.
void RemoveOldestDumps(const std::filesystem::path& folder, int keep) {
  std::vector<std::filesystem::path> dumps;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(LongPathForm(folder), ignored)) {
    const std::wstring name = entry.path().filename().wstring();
    if (name.rfind(kDumpPrefix, 0) == 0 && entry.path().extension() == L".dmp")
      dumps.push_back(entry.path());
  }
  std::sort(dumps.begin(), dumps.end());
  for (std::size_t i = 0; i + static_cast<std::size_t>(keep) < dumps.size(); ++i)
    std::filesystem::remove(dumps[i], ignored);
}

}  // namespace

bool CrashDumpsSupported() noexcept {
  return true;
}

void EnableCrashDumps(const std::filesystem::path& folder, int keep) {
  std::lock_guard<std::mutex> lock(SettingsMutex);
  Folder = folder;
  Folder.make_preferred();  // the path logged reads as Windows writes it
  Keep = keep;
}

void DisableCrashDumps() noexcept {
  std::lock_guard<std::mutex> lock(SettingsMutex);
  Keep = 0;
}

void WriteCrashDumpAtFault(EXCEPTION_POINTERS* exception, std::string& path,
                           std::string& failure) noexcept {
  std::filesystem::path folder;
  int keep = 0;
  std::filesystem::path written;
  try {
    {
      std::lock_guard<std::mutex> lock(SettingsMutex);
      folder = Folder;
      keep = Keep;
    }
    if (keep <= 0) return;
    // The filter runs on the little stack kept for it, too little for dbghelp.
    if (exception->ExceptionRecord->ExceptionCode == EXCEPTION_STACK_OVERFLOW) {
      failure = "no dump of a stack overflow: too little stack is left to write one";
      return;
    }
    std::filesystem::create_directories(LongPathForm(folder));
    HANDLE file = INVALID_HANDLE_VALUE;
    written = NewDumpFile(folder, file);
    try {
      WriteDump(file, exception);
    } catch (...) {
      CloseHandle(file);
      DeleteFileW(LongPathForm(written).c_str());  // a dump cut short helps nobody
      throw;
    }
    CloseHandle(file);
    RemoveOldestDumps(folder, keep);
    path = written.u8string();
  } catch (const std::exception& error) {
    try {
      failure = written.empty() ? folder.u8string() : written.u8string();
      failure += ": ";
      failure += error.what();
    } catch (...) {
      // No memory even for the reason: the outcome says nothing of a dump.
    }
  }
}

}  // namespace platform
