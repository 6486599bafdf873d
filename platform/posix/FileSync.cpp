#include "platform/FileSync.h"

#include <unistd.h>

namespace platform {

bool SyncToDisk(std::FILE* file) {
  return fsync(fileno(file)) == 0;
}

}  // namespace platform
