#include "platform/ProcessExit.h"

namespace platform {

int InterceptProcessExit(void (*)()) noexcept {
  return 0;
}

void ReleaseProcessExit() noexcept {}

}  // namespace platform
