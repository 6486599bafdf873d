#include "platform/CrashDump.h"

#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>
#include <system_error>

#include "platform/RegularFile.h"
#include "windows/CrashDumpAtFault.h"
#include "windows/DumpChannel.h"
#include "windows/ModuleImage.h"

namespace tamsel::platform {
namespace {

// How long a fault waits for the writer's answer: Wine's dbghelp takes seconds over a dump.
constexpr DWORD kAnswerWaitMilliseconds = 60 * 1000;
constexpr DWORD kWriterStartMilliseconds = 30 * 1000;

// Set while the library loads, and by the first save thread (the writer); read by the filters
// of save threads.
std::mutex SettingsMutex;
std::filesystem::path Folder;  // as it is logged
std::atomic<int> Keep{0};

// The channel to the writer, this process's, shared by every copy of the library loaded in it.
struct Channel {
  HANDLE mapping = nullptr;
  DumpChannel* block = nullptr;
  HANDLE request = nullptr;
  HANDLE done = nullptr;
  HANDLE ready = nullptr;
  HANDLE writer = nullptr;    // the writer's process, once it runs
  std::string writerFailure;  // why it does not, UTF-8

  Channel() = default;
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;
  ~Channel() { Close(); }

  void Close() {
    if (block != nullptr) UnmapViewOfFile(block);
    for (HANDLE* handle : {&mapping, &request, &done, &ready, &writer}) {
      if (*handle != nullptr) CloseHandle(*handle);
      *handle = nullptr;
    }
    block = nullptr;
  }
} Writer;

HANDLE ChannelEvent(const wchar_t* what) {
  return CreateEventW(nullptr, FALSE, FALSE,
                      DumpChannelObjectName(GetCurrentProcessId(), what).c_str());
}

[[noreturn]] void ThrowSystemError(DWORD error, const std::string& what) {
  throw std::system_error(static_cast<int>(error), std::system_category(), what);
}

// The memory and events, made by the first copy of the library that asks, opened by the rest.
void OpenChannel() {
  if (Writer.block != nullptr) return;
  Writer.mapping =
      CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(DumpChannel),
                         DumpChannelObjectName(GetCurrentProcessId(), L"channel").c_str());
  if (Writer.mapping == nullptr) ThrowSystemError(GetLastError(), "cannot share memory");
  Writer.block = static_cast<DumpChannel*>(
      MapViewOfFile(Writer.mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(DumpChannel)));
  Writer.request = ChannelEvent(L"request");
  Writer.done = ChannelEvent(L"done");
  Writer.ready = ChannelEvent(L"ready");
  if (Writer.block == nullptr || Writer.request == nullptr || Writer.done == nullptr ||
      Writer.ready == nullptr) {
    const DWORD error = GetLastError();
    Writer.Close();
    ThrowSystemError(error, "cannot make the dump writer's channel");
  }
}

// The writer beside this library.
std::wstring WriterPath() {
  std::wstring path(32768, L'\0');
  const DWORD length =
      GetModuleFileNameW(ThisModule(), path.data(), static_cast<DWORD>(path.size()));
  path.resize(length);
  return path.substr(0, path.find_last_of(L"\\/") + 1) + kDumpWriterFileName;
}

// A writer another copy of the library started for this process, if it still runs.
HANDLE RunningWriter() {
  HANDLE alive = OpenMutexW(SYNCHRONIZE, FALSE,
                            DumpChannelObjectName(GetCurrentProcessId(), L"writer").c_str());
  if (alive == nullptr) return nullptr;
  CloseHandle(alive);
  return OpenProcess(SYNCHRONIZE, FALSE, Writer.block->writerProcessId);
}

// Started with no window, and waited for until it has opened the channel.
HANDLE StartWriter() {
  const std::wstring path = WriterPath();
  std::wstring commandLine = L"\"" + path + L"\" " + std::to_wstring(GetCurrentProcessId());
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION started{};
  ResetEvent(Writer.ready);
  if (!CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                      nullptr, nullptr, &startup, &started)) {
    ThrowSystemError(GetLastError(),
                     "cannot start the dump writer " + std::filesystem::path(path).u8string());
  }
  CloseHandle(started.hThread);
  const HANDLE waits[] = {Writer.ready, started.hProcess};
  if (WaitForMultipleObjects(2, waits, FALSE, kWriterStartMilliseconds) != WAIT_OBJECT_0) {
    CloseHandle(started.hProcess);
    ThrowSystemError(ERROR_TIMEOUT, "the dump writer did not start");
  }
  return started.hProcess;
}

}  // namespace

bool CrashDumpsSupported() noexcept {
  return true;
}

void EnableCrashDumps(const std::filesystem::path& folder, int keep) {
  std::lock_guard<std::mutex> lock(SettingsMutex);
  Folder = folder;
  Folder.make_preferred();  // the path logged reads as Windows writes it
  Writer.writerFailure.clear();
  try {
    OpenChannel();
    const std::wstring longForm = LongPathForm(Folder).wstring();
    if (longForm.size() >= sizeof(Writer.block->folder) / sizeof(wchar_t))
      ThrowSystemError(ERROR_FILENAME_EXCED_RANGE, Folder.u8string());
    longForm.copy(Writer.block->folder, longForm.size());
    Writer.block->folder[longForm.size()] = L'\0';
    Writer.block->keep = keep;
  } catch (const std::exception& error) {
    Writer.writerFailure = error.what();
  }
  Keep = keep;
}

void DisableCrashDumps() noexcept {
  Keep = 0;
}

void PrepareCrashDumpWriter() noexcept {
  if (Keep.load() <= 0) return;
  std::lock_guard<std::mutex> lock(SettingsMutex);
  if (Writer.block == nullptr) return;  // the channel failed: writerFailure says why
  if (Writer.writer != nullptr && WaitForSingleObject(Writer.writer, 0) == WAIT_TIMEOUT) return;
  if (Writer.writer != nullptr) CloseHandle(Writer.writer);
  Writer.writer = nullptr;
  try {
    Writer.writer = RunningWriter();
    if (Writer.writer == nullptr) Writer.writer = StartWriter();
    Writer.writerFailure.clear();
  } catch (const std::exception& error) {
    try {
      Writer.writerFailure = error.what();
    } catch (...) {
      // No memory for the reason: the outcome then says only that there is no writer.
    }
  }
}

// Crash-time code: runs in the exception filter; allocates nothing, takes no lock, loads nothing.
DumpRequest RequestCrashDumpAtFault(EXCEPTION_POINTERS* exception) noexcept {
  if (Keep.load() <= 0) return DumpRequest::Off;
  DumpChannel* const block = Writer.block;
  const HANDLE writer = Writer.writer;
  if (block == nullptr || writer == nullptr) return DumpRequest::NoWriter;
  if (InterlockedCompareExchange(&block->busy, 1, 0) != 0) return DumpRequest::Busy;
  block->threadId = GetCurrentThreadId();
  block->exceptionPointers = reinterpret_cast<ULONG64>(exception);
  ResetEvent(Writer.done);
  SetEvent(Writer.request);
  const HANDLE waits[] = {Writer.done, writer};
  const DWORD answer = WaitForMultipleObjects(2, waits, FALSE, kAnswerWaitMilliseconds);
  // Without an answer the writer may still be at it: the channel stays busy.
  return answer == WAIT_OBJECT_0 ? DumpRequest::Answered : DumpRequest::NoAnswer;
}

void TakeCrashDumpAnswer(DumpRequest request, std::string& path, std::string& failure) noexcept {
  try {
    std::lock_guard<std::mutex> lock(SettingsMutex);
    const std::string folder = Folder.u8string();
    switch (request) {
      case DumpRequest::Off:
        return;
      case DumpRequest::NoWriter:
        failure = Writer.writerFailure.empty() ? "no dump writer" : Writer.writerFailure;
        return;
      case DumpRequest::Busy:
        failure = "another dump is being written";
        return;
      case DumpRequest::NoAnswer:
        failure = "the dump writer did not answer";
        return;
      case DumpRequest::Answered:
        break;
    }
    DumpChannel& block = *Writer.block;
    const DWORD error = block.error;
    const std::wstring written = block.written;
    const std::string failedStep = block.failedStep;
    InterlockedExchange(&block.busy, 0);
    if (error == 0) {
      path = (Folder / written).u8string();
    } else {
      failure = folder + ": " + failedStep + ": " +
                std::system_category().message(static_cast<int>(error));
    }
  } catch (...) {
    // No memory for the words: the outcome says nothing of the dump.
  }
}

}  // namespace tamsel::platform
