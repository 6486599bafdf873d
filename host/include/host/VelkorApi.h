#pragma once

// The host loader's operations, as the plug-in uses them. The host loader is a separate library
// (imported as "version.dll" on Windows); it and the plug-in share one standard-library layout
// and one heap, so strings, vectors and shared pointers cross between them as they are.

#include <memory>
#include <string>
#include <vector>

#include <spdlog/sinks/sink.h>

#include "host/VelkorExport.h"
#include "text/Utf16.h"

#if defined(_MSVC_STL_VERSION)
#include <mutex>
// Built with Microsoft's standard library, every object that crosses to a Visual Studio-built
// host must have the layout of its release runtime (/MD), Visual Studio 2015 to 2022. A debug
// layout or another library's headers fail here rather than in the server.
static_assert(_ITERATOR_DEBUG_LEVEL == 0, "release layouts: _ITERATOR_DEBUG_LEVEL=0");
static_assert(sizeof(std::string) == 32, "std::string of the VS 2015-2022 release runtime");
static_assert(sizeof(std::vector<int>) == 24, "std::vector of the VS 2015-2022 release runtime");
static_assert(sizeof(std::shared_ptr<int>) == 16, "std::shared_ptr of the VS 2015-2022 runtime");
static_assert(sizeof(std::mutex) == 80, "std::mutex of the VS 2015-2022 release runtime");
#endif

// Address of the server function named by a function key such as "FMemory.Realloc".
VELKOR_API void* GetAddress(const std::string& functionKey);

// The host's log sinks. Plug-ins share the entries; the host owns the vector.
VELKOR_API std::vector<std::shared_ptr<spdlog::sinks::sink>>& GetLogSinks();

namespace VelkorApi {

// Detours on server functions, by function key.
class IHooks {
 public:
  // Whether a detour is installed on the function. The plug-in does not use it.
  virtual bool IsHooked(const std::string& functionKey) = 0;

  // Puts the server's own routine back in place of `detour`. True when a detour was removed.
  virtual bool RemoveHook(const std::string& functionKey, void* detour) = 0;

  // Routes the server's calls of the function to `detour`, and writes into `*original` a
  // pointer through which the server's own routine still runs. True when it was installed.
  virtual bool InstallHook(const std::string& functionKey, void* detour, void** original) = 0;

 protected:
  ~IHooks() = default;
};

VELKOR_API IHooks& GetHooks();

namespace Tools {

// The server's current directory.
VELKOR_API std::string GetCurrentDir();

// UTF-8 text as UTF-16 code units; invalid input becomes U+FFFD.
VELKOR_API Utf16String Utf8Decode(const std::string& utf8);

}  // namespace Tools
}  // namespace VelkorApi
