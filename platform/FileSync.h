#pragma once

#include <cstdio>

namespace platform {

// Flushes what the system holds of an open file to the disk. False when it could not.
bool SyncToDisk(std::FILE* file);

}  // namespace platform
