#include "sim/os/DynamicLibrary.h"

#include <dlfcn.h>

#include <stdexcept>

namespace SimOs {

DynamicLibrary::DynamicLibrary(const std::filesystem::path& path) {
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* reason = dlerror();
    throw std::runtime_error("cannot load " + path.string() + ": " +
                             (reason ? reason : "unknown error"));
  }
}

DynamicLibrary::~DynamicLibrary() {
  Unload();
}

void DynamicLibrary::Unload() {
  if (handle_ != nullptr) dlclose(handle_);
  handle_ = nullptr;
}

bool DynamicLibrary::IsLoaded(const std::filesystem::path& path) {
  void* handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
  if (handle != nullptr) dlclose(handle);
  return handle != nullptr;
}

const char* DynamicLibrary::FileSuffix() {
  return ".so";
}

}  // namespace SimOs
