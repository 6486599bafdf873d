// The stand-in host loader: a registry of server functions by key, detours through one
// dispatch slot per function, the current directory and the log sinks.
#include "sim/host/SimHost.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>

#include <spdlog/sinks/stdout_sinks.h>

#include "host/VelkorApi.h"
#include "sim/host/LineSink.h"
#include "sim/os/Files.h"

namespace {

// spdlog's own file sinks open their file by its 8-bit name, which on Windows is read in the
// code page: a server folder named "wé dir" or "☃" would have no log. This one opens it by its
// Unicode path.
class FileSink final : public LineSink {
 public:
  FileSink(const std::string& file, bool truncate)
      : file_(SimOs::OpenFile(std::filesystem::u8path(file), truncate ? "wb" : "ab")) {
    if (file_ == nullptr) {
      throw spdlog::spdlog_ex("cannot open log file " + file + ": " + std::strerror(errno));
    }
  }
  ~FileSink() override { std::fclose(file_); }

 protected:
  void Write(std::string line, std::string /*text*/) override {
    std::fwrite(line.data(), 1, line.size(), file_);
  }
  void Flushed() override { std::fflush(file_); }

 private:
  std::FILE* file_;
};

struct ServerFunction {
  void* original = nullptr;
  void* detour = nullptr;  // null while none is installed
  std::atomic<void*> callTarget{nullptr};
};

struct HostState {
  std::mutex mutex;
  std::map<std::string, std::unique_ptr<ServerFunction>> functions;
  std::vector<SimHost::HookRequest> hookRequests;
  std::optional<std::string> currentDir;
};

HostState& State() {
  static HostState state;
  return state;
}

ServerFunction* Find(HostState& state, const std::string& functionKey) {
  const auto found = state.functions.find(functionKey);
  return found == state.functions.end() ? nullptr : found->second.get();
}

class Hooks final : public VelkorApi::IHooks {
 public:
  bool IsHooked(const std::string& functionKey) override {
    auto& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    const ServerFunction* function = Find(state, functionKey);
    return function != nullptr && function->detour != nullptr;
  }

  bool RemoveHook(const std::string& functionKey, void* detour) override {
    auto& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    ServerFunction* function = Find(state, functionKey);
    const bool accepted = function != nullptr && detour != nullptr && function->detour == detour;
    if (accepted) {
      function->detour = nullptr;
      function->callTarget.store(function->original, std::memory_order_release);
    }
    Record(state, SimHost::HookRequest::Kind::Remove, functionKey, detour, accepted);
    return accepted;
  }

  bool InstallHook(const std::string& functionKey, void* detour, void** original) override {
    auto& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    ServerFunction* function = Find(state, functionKey);
    const bool accepted = function != nullptr && detour != nullptr && original != nullptr &&
                          function->detour == nullptr;
    if (accepted) {
      // The original pointer is in place before the first call can reach the detour.
      *original = function->original;
      function->detour = detour;
      function->callTarget.store(detour, std::memory_order_release);
    }
    Record(state, SimHost::HookRequest::Kind::Install, functionKey, detour, accepted);
    return accepted;
  }

 private:
  static void Record(HostState& state, SimHost::HookRequest::Kind kind,
                     const std::string& functionKey, void* detour, bool accepted) {
    state.hookRequests.push_back({kind, functionKey, detour, accepted});
  }
};

std::vector<std::shared_ptr<spdlog::sinks::sink>> ConsoleSinks() {
  return {std::make_shared<spdlog::sinks::stdout_sink_mt>()};
}

}  // namespace

void* GetAddress(const std::string& functionKey) {
  auto& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  const ServerFunction* function = Find(state, functionKey);
  return function != nullptr ? function->original : nullptr;
}

std::vector<std::shared_ptr<spdlog::sinks::sink>>& GetLogSinks() {
  static std::vector<std::shared_ptr<spdlog::sinks::sink>> sinks = ConsoleSinks();
  return sinks;
}

namespace VelkorApi {

IHooks& GetHooks() {
  static Hooks hooks;
  return hooks;
}

namespace Tools {

std::string GetCurrentDir() {
  auto& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (state.currentDir) return *state.currentDir;
  std::error_code error;
  const auto directory = std::filesystem::current_path(error);
  return error ? std::string(".") : directory.u8string();  // UTF-8, as the host hands text over
}

}  // namespace Tools
}  // namespace VelkorApi

namespace SimHost {

void RegisterServerFunction(const std::string& functionKey, void* function) {
  if (function == nullptr) throw std::invalid_argument("no server function for " + functionKey);
  auto& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  auto& entry = state.functions[functionKey];
  if (!entry) entry = std::make_unique<ServerFunction>();
  entry->original = function;
  entry->detour = nullptr;
  entry->callTarget.store(function, std::memory_order_release);
}

void Reset() {
  auto& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.functions.clear();
  state.hookRequests.clear();
  state.currentDir.reset();
}

std::atomic<void*>& CallTarget(const std::string& functionKey) {
  auto& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  ServerFunction* function = Find(state, functionKey);
  if (function == nullptr) throw std::out_of_range("no server function " + functionKey);
  return function->callTarget;
}

std::vector<HookRequest> HookRequests() {
  auto& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.hookRequests;
}

void SetCurrentDir(const std::string& directory) {
  auto& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.currentDir = directory;
}

void UseConsoleAndFileSinks(const std::string& logFile) {
  auto& sinks = GetLogSinks();
  sinks = ConsoleSinks();
  if (!logFile.empty()) {
    sinks.push_back(MakeFileSink(logFile, false));
  }
}

std::shared_ptr<spdlog::sinks::sink> MakeFileSink(const std::string& file, bool truncate) {
  return std::make_shared<FileSink>(file, truncate);
}

}  // namespace SimHost
