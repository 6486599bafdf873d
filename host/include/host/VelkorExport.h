#pragma once

// Marks the host loader's functions: exported by the host library, imported by its users.
#if defined(_WIN32)
#if defined(VELKOR_HOST_BUILD)
#define VELKOR_API __declspec(dllexport)
#else
#define VELKOR_API __declspec(dllimport)
#endif
#else
#define VELKOR_API __attribute__((visibility("default")))
#endif
