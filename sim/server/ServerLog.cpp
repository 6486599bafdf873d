#include "sim/server/ServerLog.h"

#include "host/VelkorApi.h"

namespace SimServer {

std::shared_ptr<spdlog::logger> ServerLog() {
  static auto log =
      std::make_shared<spdlog::logger>("Server", GetLogSinks().begin(), GetLogSinks().end());
  return log;
}

}  // namespace SimServer
