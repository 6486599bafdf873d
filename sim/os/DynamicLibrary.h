#pragma once

#include <filesystem>

// Loading and unloading a shared library at run time, as a host loader does with plug-ins.
namespace SimOs {

class DynamicLibrary {
 public:
  // Loads the library at `path`; throws std::runtime_error with the system's reason.
  explicit DynamicLibrary(const std::filesystem::path& path);
  ~DynamicLibrary();
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;

  // Unloads now rather than at destruction. Safe to call twice.
  void Unload();

  // Whether the library at `path` is mapped into this process now, by whoever loaded it.
  static bool IsLoaded(const std::filesystem::path& path);

  // The file name ending of a loadable library on this platform: ".so" or ".dll".
  static const char* FileSuffix();

 private:
  void* handle_ = nullptr;
};

}  // namespace SimOs
