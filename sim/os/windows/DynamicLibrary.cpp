#include "sim/os/DynamicLibrary.h"

#include "platform/RegularFile.h"

#include <windows.h>

#include <algorithm>
#include <stdexcept>

namespace SimOs {

namespace {

std::wstring WindowsPath(const std::filesystem::path& path) {
  std::wstring windowsPath = tamsel::platform::LongPathForm(path).wstring();
  std::replace(windowsPath.begin(), windowsPath.end(), L'/', L'\\');
  return windowsPath;
}

}  // namespace

DynamicLibrary::DynamicLibrary(const std::filesystem::path& path) {
  const std::wstring windowsPath = WindowsPath(path);
  // Resolve the library's own imports next to it first, as the host loader's plug-ins expect.
  handle_ = LoadLibraryExW(windowsPath.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (handle_ == nullptr) {
    throw std::runtime_error("cannot load " + path.u8string() + ": error " +
                             std::to_string(GetLastError()));
  }
}

DynamicLibrary::~DynamicLibrary() {
  Unload();
}

void DynamicLibrary::Unload() {
  if (handle_ != nullptr) FreeLibrary(static_cast<HMODULE>(handle_));
  handle_ = nullptr;
}

bool DynamicLibrary::IsLoaded(const std::filesystem::path& path) {
  return GetModuleHandleW(WindowsPath(path).c_str()) != nullptr;
}

const char* DynamicLibrary::FileSuffix() {
  return ".dll";
}

}  // namespace SimOs
