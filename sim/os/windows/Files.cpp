#include "sim/os/Files.h"

#include "platform/RegularFile.h"

#include <io.h>
#include <windows.h>

#include <shellapi.h>  // needs windows.h first

#include <system_error>

namespace SimOs {
namespace {

std::string Utf8(const wchar_t* text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return std::string();
  std::string utf8(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), size, nullptr, nullptr);
  utf8.pop_back();  // the terminator
  return utf8;
}

}  // namespace

std::FILE* OpenFile(const std::filesystem::path& file, const char* mode) {
  const std::wstring wideMode(mode, mode + std::char_traits<char>::length(mode));
  return _wfopen(file.c_str(), wideMode.c_str());
}

std::vector<std::filesystem::path> SubfolderNames(const std::filesystem::path& folder) {
  // The standard library's directory iterator loses a path longer than MAX_PATH.
  const std::wstring pattern =
      (tamsel::platform::LongPathForm(folder) / L"*").make_preferred().wstring();
  WIN32_FIND_DATAW entry{};
  HANDLE search = FindFirstFileW(pattern.c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) {
    throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                            "cannot read " + folder.u8string());
  }
  std::vector<std::filesystem::path> names;
  do {
    const std::wstring name = entry.cFileName;
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && name != L"." && name != L"..") {
      names.emplace_back(name);
    }
  } while (FindNextFileW(search, &entry));
  FindClose(search);
  return names;
}

bool SyncToDisk(std::FILE* file) {
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  return handle != INVALID_HANDLE_VALUE && FlushFileBuffers(handle) != 0;
}

void EndProcess(int exitCode) {
  ExitProcess(static_cast<UINT>(exitCode));
}

std::vector<std::string> ProgramArguments(int /*argc*/, char** /*argv*/) {
  // The 8-bit argv holds the code page's guess at each character: "☃" arrives as "?".
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> arguments;
  for (int i = 1; wide != nullptr && i < count; ++i)
    arguments.push_back(Utf8(wide[i]));
  LocalFree(wide);
  return arguments;
}

}  // namespace SimOs
