// TamselDumpWriter.exe <server process id>: writes the crash dumps of one server process from
// outside it, as Microsoft asks of MiniDumpWriteDump, and ends with it. dbghelp.dll comes from
// the system folder only, loaded once at the start, never at a crash.
#include <windows.h>

#include <dbghelp.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "windows/DumpChannel.h"

namespace {

using tamsel::platform::DumpChannel;

using WriteDumpFunction = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE,
                                        PMINIDUMP_EXCEPTION_INFORMATION,
                                        PMINIDUMP_USER_STREAM_INFORMATION,
                                        PMINIDUMP_CALLBACK_INFORMATION);

constexpr const wchar_t* kDumpPrefix = L"save-crash-";
// MiniDumpIgnoreInaccessibleMemory, which not every SDK's header names yet.
constexpr DWORD kIgnoreInaccessibleMemory = 0x00020000;

struct Failure {
  DWORD error;
  const char* step;
};

// "20261210-023015-123", UTC.
std::wstring UtcTimestamp() {
  SYSTEMTIME now{};
  GetSystemTime(&now);
  wchar_t text[32];
  (void)std::swprintf(text, sizeof(text) / sizeof(text[0]), L"%04u%02u%02u-%02u%02u%02u-%03u",
                      now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond,
                      now.wMilliseconds);
  return text;
}

// The folder and every folder above it that is missing.
bool MakeFolders(const std::wstring& folder) {
  for (std::size_t at = folder.find(L'\\', 7); at != std::wstring::npos;
       at = folder.find(L'\\', at + 1)) {
    CreateDirectoryW(folder.substr(0, at).c_str(), nullptr);
  }
  return CreateDirectoryW(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

// A new file named by the time and the server's process id, with a counter should the name be
// taken already.
HANDLE NewDumpFile(const std::wstring& folder, DWORD serverId, std::wstring& name) {
  const std::wstring stem = kDumpPrefix + UtcTimestamp() + L"-" + std::to_wstring(serverId);
  for (int attempt = 1; attempt <= 100; ++attempt) {
    name = stem + (attempt == 1 ? L"" : L"-" + std::to_wstring(attempt)) + L".dmp";
    HANDLE file = CreateFileW((folder + L"\\" + name).c_str(), GENERIC_WRITE, 0, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) return file;
  }
  return INVALID_HANDLE_VALUE;
}

// The newest `keep` dumps stay, by the files' own times: never the one just written.
void RemoveOldestDumps(const std::wstring& folder, LONG keep, const std::wstring& justWritten) {
  struct Dump {
    ULONGLONG written;
    std::wstring name;
  };
  std::vector<Dump> dumps;
  WIN32_FIND_DATAW found{};
  HANDLE search = FindFirstFileW((folder + L"\\" + kDumpPrefix + L"*.dmp").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    if (justWritten == found.cFileName) continue;
    const ULONGLONG time = (ULONGLONG{found.ftLastWriteTime.dwHighDateTime} << 32) |
                           found.ftLastWriteTime.dwLowDateTime;
    dumps.push_back({time, found.cFileName});
  } while (FindNextFileW(search, &found));
  FindClose(search);
  std::sort(dumps.begin(), dumps.end(), [](const Dump& a, const Dump& b) {
    return a.written != b.written ? a.written < b.written : a.name < b.name;
  });
  const std::size_t others = keep > 0 ? static_cast<std::size_t>(keep - 1) : 0;
  for (std::size_t i = 0; i + others < dumps.size(); ++i)
    DeleteFileW((folder + L"\\" + dumps[i].name).c_str());
}

// The stacks and registers of every thread, the memory they point at, the modules' data and
// the list of handles and of the memory's regions, skipping what cannot be read.
Failure WriteDump(DumpChannel& channel, HANDLE server, DWORD serverId, WriteDumpFunction writeDump,
                  DWORD dbghelpError) {
  if (writeDump == nullptr) return {dbghelpError, "cannot load dbghelp.dll from the system folder"};
  const std::wstring folder = channel.folder;
  if (!MakeFolders(folder)) return {GetLastError(), "cannot create the folder"};
  std::wstring name;
  HANDLE file = NewDumpFile(folder, serverId, name);
  if (file == INVALID_HANDLE_VALUE) return {GetLastError(), "cannot create the dump file"};
  MINIDUMP_EXCEPTION_INFORMATION fault{
      channel.threadId, reinterpret_cast<PEXCEPTION_POINTERS>(channel.exceptionPointers), TRUE};
  const auto kind = static_cast<MINIDUMP_TYPE>(
      MiniDumpWithDataSegs | MiniDumpWithIndirectlyReferencedMemory | MiniDumpWithHandleData |
      MiniDumpWithThreadInfo | MiniDumpWithUnloadedModules | MiniDumpWithFullMemoryInfo |
      kIgnoreInaccessibleMemory);
  const BOOL written = writeDump(server, serverId, file, kind, &fault, nullptr, nullptr);
  const DWORD error = GetLastError();
  CloseHandle(file);
  if (!written) {
    DeleteFileW((folder + L"\\" + name).c_str());  // a dump cut short helps nobody
    return {error != 0 ? error : ERROR_GEN_FAILURE, "cannot write the dump"};
  }
  RemoveOldestDumps(folder, channel.keep, name);
  wcsncpy(channel.written, name.c_str(), MAX_PATH - 1);
  channel.written[MAX_PATH - 1] = L'\0';
  return {0, ""};
}

HANDLE OpenChannelEvent(DWORD serverId, const wchar_t* what) {
  return OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE,
                    tamsel::platform::DumpChannelObjectName(serverId, what).c_str());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    (void)std::fprintf(stderr, "usage: TamselDumpWriter <server process id>\n");
    return 2;
  }
  const auto serverId = static_cast<DWORD>(std::strtoul(argv[1], nullptr, 10));
  HANDLE server =
      OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | PROCESS_DUP_HANDLE | SYNCHRONIZE,
                  FALSE, serverId);
  HANDLE mapping =
      OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE,
                       tamsel::platform::DumpChannelObjectName(serverId, L"channel").c_str());
  HANDLE request = OpenChannelEvent(serverId, L"request");
  HANDLE done = OpenChannelEvent(serverId, L"done");
  HANDLE ready = OpenChannelEvent(serverId, L"ready");
  if (server == nullptr || mapping == nullptr || request == nullptr || done == nullptr ||
      ready == nullptr) {
    return 3;
  }
  auto* channel = static_cast<DumpChannel*>(
      MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(DumpChannel)));
  if (channel == nullptr) return 3;
  // One writer per server process: held until this one ends.
  HANDLE alone = CreateMutexW(nullptr, TRUE,
                              tamsel::platform::DumpChannelObjectName(serverId, L"writer").c_str());
  if (alone == nullptr || GetLastError() == ERROR_ALREADY_EXISTS) return 0;

  wchar_t system[MAX_PATH] = {};
  const UINT length = GetSystemDirectoryW(system, MAX_PATH);
  const std::wstring dbghelpPath = std::wstring(system, length) + L"\\dbghelp.dll";
  const HMODULE dbghelp = length != 0 ? LoadLibraryW(dbghelpPath.c_str()) : nullptr;
  const DWORD dbghelpError = dbghelp == nullptr ? GetLastError() : 0;
  const auto writeDump =
      dbghelp != nullptr
          ? reinterpret_cast<WriteDumpFunction>(GetProcAddress(dbghelp, "MiniDumpWriteDump"))
          : nullptr;

  channel->writerProcessId = GetCurrentProcessId();
  SetEvent(ready);
  const HANDLE waits[] = {request, server};
  while (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0) {
    channel->written[0] = L'\0';
    const Failure outcome = WriteDump(*channel, server, serverId, writeDump, dbghelpError);
    channel->error = outcome.error;
    (void)std::snprintf(channel->failedStep, sizeof(channel->failedStep), "%s", outcome.step);
    SetEvent(done);
  }
  return 0;
}
