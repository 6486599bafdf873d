#pragma once

// Which spdlog line the build uses. The host loader's own line (0.x, with fmt 4 bundled) keeps a
// logger's formatter in the logger and hands its sinks finished lines; the 1.x line gives every
// sink a copy of the formatter of the logger that writes to it. Everything that depends on the
// difference tests TAMSEL_SPDLOG_SINKS_FORMAT, and nothing else.
#include <spdlog/common.h>
#if __has_include(<spdlog/version.h>)  // 1.x; 0.x has none
#include <spdlog/version.h>
#endif

#if defined(SPDLOG_VER_MAJOR) && SPDLOG_VER_MAJOR >= 1
#define TAMSEL_SPDLOG_SINKS_FORMAT 1
#else
#define TAMSEL_SPDLOG_SINKS_FORMAT 0
#endif
