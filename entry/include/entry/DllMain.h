#pragma once

// The library's entry, in the Windows library-entry vocabulary. On POSIX the same names are
// defined here so that the one DllMain serves both platforms; posix/LibraryEntry.cpp drives it
// from the library's load and unload.
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

// Loads the plug-in at DLL_PROCESS_ATTACH and unloads it at DLL_PROCESS_DETACH (`reserved` not
// null: the process is ending, its other threads already ended). Always TRUE.
extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved);
