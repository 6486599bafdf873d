#include "sim/server/ServerLog.h"

#include "host/VelkorApi.h"

namespace SimServer {

std::shared_ptr<spdlog::logger> ServerLog() {
  // Never destroyed: a save that runs on while the process exits logs through it after the
  // program's static objects are gone.
  static const auto* const log = new std::shared_ptr<spdlog::logger>(
      std::make_shared<spdlog::logger>("Server", GetLogSinks().begin(), GetLogSinks().end()));
  return *log;
}

}  // namespace SimServer
