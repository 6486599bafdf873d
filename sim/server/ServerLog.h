#pragma once

#include <memory>

#include <spdlog/logger.h>

namespace SimServer {

// The server's own logger, "Server", over the host loader's sinks as they are at first use.
// It lives until the process ends.
std::shared_ptr<spdlog::logger> ServerLog();

}  // namespace SimServer
