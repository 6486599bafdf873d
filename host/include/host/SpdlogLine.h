#pragma once

// Which spdlog line the build uses. The host loader's own line (0.x, with fmt 4 bundled) keeps a
// logger's formatter in the logger and hands its sinks finished lines; the 1.x line gives every
// sink a copy of the formatter of the logger that writes to it. Everything that depends on the
// difference tests TAMSEL_SPDLOG_SINKS_FORMAT, and nothing else.
#include <spdlog/common.h>

// 1.x's common.h defines SPDLOG_API in every configuration from 1.6 on; 0.x knows no such
// macro. The build refuses 1.0 to 1.5 when it is configured. (Their version.h cannot be looked
// for here: with the host's headers first in the search path, a 1.x version.h elsewhere on the
// system would still be found.)
#if defined(SPDLOG_API)
#define TAMSEL_SPDLOG_SINKS_FORMAT 1
#else
#define TAMSEL_SPDLOG_SINKS_FORMAT 0
#endif
