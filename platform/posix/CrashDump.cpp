#include "platform/CrashDump.h"

namespace tamsel::platform {

// A POSIX process leaves a core dump where the system is set up for it; the guard has none
// to write.
bool CrashDumpsSupported() noexcept {
  return false;
}

void EnableCrashDumps(const std::filesystem::path& /*folder*/, int /*keep*/) {}

void DisableCrashDumps() noexcept {}

}  // namespace tamsel::platform
