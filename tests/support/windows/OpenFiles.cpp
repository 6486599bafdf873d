#include "tests/support/OpenFiles.h"

#include <io.h>

std::size_t OpenFileCount() {
  std::size_t count = 0;
  for (int descriptor = 0; descriptor < 2048; ++descriptor) {
    if (_get_osfhandle(descriptor) != -1) ++count;
  }
  return count;
}

bool MakeFifo(const std::filesystem::path&) {
  return false;
}
