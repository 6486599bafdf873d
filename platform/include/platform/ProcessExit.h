#pragma once

// Holding the process's graceful exit until a running save is done.
//
// On Windows every other thread is ended before a library hears that the process exits, so a
// save still running then would be cut off. The library therefore redirects the ExitProcess and
// exit entries in the import tables of the program and of the C runtime DLLs loaded now
// (msvcrt.dll, ucrtbase.dll): return from main, exit(), _exit() and a direct ExitProcess call
// all pass through `beforeExit` first, exit() before it runs the program's exit functions (its
// static objects' destructors), so the save does not outlive what it reads. Not covered:
// TerminateProcess, a crash, a killed process, ExitProcess or exit reached through
// GetProcAddress, exit() called from a DLL other than the C runtime's (it waits later, at
// ExitProcess), and modules loaded after the library.
//
// On POSIX nothing is redirected: the library's unload at exit runs while the other threads
// still live, and `beforeExit` runs there, before the unload.
namespace tamsel::platform {

// Redirects the entries; returns how many were redirected. Call once, while loading. POSIX:
// keeps `beforeExit` for NoteProcessExit, redirects nothing, returns 0.
int InterceptProcessExit(void (*beforeExit)()) noexcept;

// Puts back every entry that still leads to this library. Call while unloading. POSIX: forgets
// `beforeExit`.
void ReleaseProcessExit() noexcept;

// True once the process is exiting as far as the library's unload can tell: on POSIX from the
// start of the library's unload at exit (also a dlclose from an exit handler); on Windows never,
// where a detach at exit finds the other threads gone and does nothing.
bool ProcessIsExiting() noexcept;

// True when the library's code stays in memory after the unload returns, so that the unload
// may stop waiting for a save thread that still runs it: on Windows a worker holds its own
// reference to the library; on POSIX only at process exit, never at dlclose.
bool CodeOutlivesUnload() noexcept;

#if !defined(_WIN32)
// POSIX only, for the library entry: the library is being unloaded by the process's exit (not
// by dlclose) while every thread still runs. Runs what InterceptProcessExit was given, if it
// still holds, and from now on CodeOutlivesUnload is true. (On Windows the redirected exit
// entries run it.)
void NoteProcessExit() noexcept;
#endif

}  // namespace tamsel::platform
