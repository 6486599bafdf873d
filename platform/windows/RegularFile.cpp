#include "platform/RegularFile.h"

#include <windows.h>

#include <stdexcept>
#include <system_error>

#include "UniqueHandle.h"

namespace tamsel::platform {
namespace {

struct FileHandle {
  using Handle = HANDLE;
  static bool IsValid(HANDLE handle) { return handle != INVALID_HANDLE_VALUE; }
  static void Close(HANDLE handle) { CloseHandle(handle); }
};
using OpenFile = UniqueHandle<FileHandle>;

// In the portable words ("No such file or directory") where there are any.
[[noreturn]] void Fail(DWORD error, const char* what) {
  const std::error_code code(static_cast<int>(error), std::system_category());
  const std::error_condition reason = code.default_error_condition();
  if (reason.category() == std::generic_category()) {
    throw std::system_error(reason.value(), std::generic_category(), what);
  }
  throw std::system_error(code, what);
}

}  // namespace

std::filesystem::path LongPathForm(const std::filesystem::path& path) {
  // 12 characters short of MAX_PATH: the most a folder's name may take, leaving room for "8.3".
  std::wstring text = path.lexically_normal().make_preferred().wstring();
  if (text.size() < MAX_PATH - 12 || !path.is_absolute() || text.rfind(L"\\\\", 0) == 0) {
    return path;
  }
  return std::filesystem::path(L"\\\\?\\" + text);
}

std::string ReadRegularFile(const std::filesystem::path& file, std::size_t maxBytes) {
  // Backup semantics: a directory opens too, and is then told apart by what was opened.
  const OpenFile opened(CreateFileW(LongPathForm(file).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!opened.IsValid()) Fail(GetLastError(), "cannot open");
  BY_HANDLE_FILE_INFORMATION information{};
  if (GetFileType(opened.Get()) != FILE_TYPE_DISK) {
    throw std::runtime_error("cannot read: not a regular file");
  }
  if (!GetFileInformationByHandle(opened.Get(), &information)) {
    Fail(GetLastError(), "cannot read");
  }
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    throw std::system_error(std::make_error_code(std::errc::is_a_directory), "cannot read");
  }
  std::string text;
  char block[4096];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(opened.Get(), block, sizeof(block), &got, nullptr)) {
      Fail(GetLastError(), "cannot read");
    }
    if (got == 0) return text;
    text.append(block, got);
    if (text.size() > maxBytes) {
      throw std::runtime_error("larger than " + std::to_string(maxBytes) + " bytes");
    }
  }
}

}  // namespace tamsel::platform
