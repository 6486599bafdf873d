#include "tests/support/OpenFiles.h"

#include <sys/stat.h>

#include <filesystem>

std::size_t OpenFileCount() {
  std::error_code error;
  std::size_t count = 0;
  for (auto it = std::filesystem::directory_iterator("/proc/self/fd", error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    ++count;
  }
  return count;
}

bool MakeFifo(const std::filesystem::path& path) {
  return mkfifo(path.c_str(), 0600) == 0;
}
