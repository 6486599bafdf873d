#include "sim/os/Files.h"

#include <unistd.h>

#include <cstdlib>

namespace SimOs {

std::FILE* OpenFile(const std::filesystem::path& file, const char* mode) {
  return std::fopen(file.c_str(), mode);
}

std::vector<std::filesystem::path> SubfolderNames(const std::filesystem::path& folder) {
  std::vector<std::filesystem::path> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    std::error_code unreadable;  // a dangling link, a vanished entry: not a folder
    if (entry.is_directory(unreadable)) names.push_back(entry.path().filename());
  }
  return names;
}

bool SyncToDisk(std::FILE* file) {
  return fsync(fileno(file)) == 0;
}

void EndProcess(int exitCode) {
  std::exit(exitCode);
}

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

}  // namespace SimOs
