#pragma once

namespace tamsel::platform {

// Owns one of the system's handles (a file descriptor, a Windows HANDLE) and closes it as it
// goes out of scope. `Kind` says what the handle is: its type `Handle`, and the static
// functions `bool IsValid(Handle)` and `void Close(Handle)`.
template <typename Kind>
class UniqueHandle {
 public:
  using Handle = typename Kind::Handle;
  explicit UniqueHandle(Handle handle) : handle_(handle) {}
  ~UniqueHandle() {
    if (Kind::IsValid(handle_)) Kind::Close(handle_);
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  Handle Get() const { return handle_; }
  bool IsValid() const { return Kind::IsValid(handle_); }

 private:
  Handle handle_;
};

}  // namespace tamsel::platform
