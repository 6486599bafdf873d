#pragma once

#include <windows.h>

#include <string>

namespace tamsel::platform {

// How a request for a dump at a fault went.
enum class DumpRequest { Off, Answered, NoWriter, Busy, NoAnswer };

// Before a guarded call, on a thread that may start a process (never in the library's entry):
// with dumps on, makes sure the server's dump writer runs, starting it once per server process.
void PrepareCrashDumpWriter() noexcept;

// Crash-time code: runs in the guard's exception filter. Hands the fault to the dump writer and
// waits for its answer (at most a minute, less should the writer end); allocates nothing,
// takes no lock, loads no library.
DumpRequest RequestCrashDumpAtFault(EXCEPTION_POINTERS* exception) noexcept;

// After the filter: the dump written (its path, UTF-8), or why there is none; both stay empty
// while dumps are off.
void TakeCrashDumpAnswer(DumpRequest request, std::string& path, std::string& failure) noexcept;

}  // namespace tamsel::platform
