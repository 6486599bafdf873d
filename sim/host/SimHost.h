#pragma once

// The stand-in host loader's own controls, for the stand-in server and the tests. The plug-in
// sees only host/VelkorApi.h.

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include <spdlog/sinks/sink.h>

#include "host/VelkorExport.h"

namespace SimHost {

// Makes a server function known under its function key ("Class.Method"). The server calls
// it through CallTarget, so a detour installed on the key takes the call.
VELKOR_API void RegisterServerFunction(const std::string& functionKey, void* function);

// Forgets every server function and detour and the recorded hook requests.
VELKOR_API void Reset();

// The dispatch slot of a registered function: what the server calls, the detour while one is
// installed, otherwise the function itself. Throws std::out_of_range for an unknown key.
VELKOR_API std::atomic<void*>& CallTarget(const std::string& functionKey);

template <typename Function>
Function Resolve(const std::string& functionKey) {
  return reinterpret_cast<Function>(CallTarget(functionKey).load(std::memory_order_acquire));
}

struct HookRequest {
  enum class Kind { Install, Remove };
  Kind kind;
  std::string functionKey;
  void* detour;
  bool accepted;
};

// Every InstallHook and RemoveHook the host was asked for, in order.
VELKOR_API std::vector<HookRequest> HookRequests();

// Replaces the current directory that the host reports (the process's by default).
VELKOR_API void SetCurrentDir(const std::string& directory);

// Replaces the host's sinks with a console sink and, if `logFile` is not empty, a file sink.
VELKOR_API void UseConsoleAndFileSinks(const std::string& logFile);

// A sink that appends lines to `file` (emptied first when `truncate` is set).
VELKOR_API std::shared_ptr<spdlog::sinks::sink> MakeFileSink(const std::string& file,
                                                             bool truncate);

}  // namespace SimHost
