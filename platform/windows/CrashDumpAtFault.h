#pragma once

#include <windows.h>

#include <string>

namespace platform {

// With crash dumps enabled, writes the process's dump for the fault in hand (call in the
// guard's filter, on the faulting thread) and removes the oldest beyond the number kept. Sets
// `path` to the dump written (UTF-8), or `failure` to why there is none; both stay empty while
// dumps are off.
void WriteCrashDumpAtFault(EXCEPTION_POINTERS* exception, std::string& path,
                           std::string& failure) noexcept;

}  // namespace platform
