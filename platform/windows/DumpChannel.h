#pragma once

// What a server process shares with its crash dump writer, TamselDumpWriter.exe, a process of
// its own started from beside the plug-in: one block of memory and four objects, named after
// the server's process id. The faulting thread fills in a request and sets "request"; the
// writer writes the dump from outside, answers in the block and sets "done".
#include <windows.h>

#include <string>

namespace tamsel::platform {

struct DumpChannel {
  // From the plug-in's load: where dumps go (a long-path form) and how many stay.
  wchar_t folder[32768];
  LONG keep;
  DWORD writerProcessId;  // the writer's, once it runs
  // A request, from the faulting thread: 1 in `busy` while it is under way.
  volatile LONG busy;
  DWORD threadId;
  ULONG64 exceptionPointers;  // the EXCEPTION_POINTERS in the server's memory
  // The answer: `error` 0 and the dump's file name, or the system's error code and the step
  // that failed.
  DWORD error;
  char failedStep[96];
  wchar_t written[MAX_PATH];
};

// The channel's objects: "channel" (the block), "request", "done", "ready" (set by the writer
// once it runs) and "writer" (a mutex the writer holds for its life).
inline std::wstring DumpChannelObjectName(DWORD serverProcessId, const wchar_t* what) {
  return L"Local\\TamselDumps-" + std::to_wstring(serverProcessId) + L"-" + what;
}

// The writer's file name, beside the plug-in.
inline constexpr const wchar_t* kDumpWriterFileName = L"TamselDumpWriter.exe";

}  // namespace tamsel::platform
