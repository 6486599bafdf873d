#pragma once

// The Windows library-entry vocabulary. On POSIX the same names are defined here so that the
// one DllMain serves both platforms; the POSIX loader drives it from the library's load and
// unload (see posix/LibraryEntry.cpp).
#if defined(_WIN32)
#include <windows.h>
#else
#include <cstdint>

using BOOL = int;
using DWORD = std::uint32_t;
using HINSTANCE = void*;
using LPVOID = void*;
#define WINAPI
#define TRUE 1
#define FALSE 0
#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3
#endif
