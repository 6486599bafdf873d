#pragma once

#include <windows.h>

// Entry points into this library that other code may reach when the library may already be
// gone, or be going: an import table entry redirected here, a save thread's start. They live in
// a page of their own, outside the library's image. Each first takes a reference to the
// library for the calling thread, waiting for the loader's lock as long as that takes (never
// make one the entry of a thread that must not wait), and with it enters the library; when the
// library is gone it goes elsewhere, where it was told. The loader holds its lock throughout an
// unload, so a reference is either taken before the unload begins (and the unload does not
// happen) or fails after it. x86-64 only.
namespace tamsel::platform {

enum class OutlivingEntry { ExitProcess, Exit, WorkerStart, Count };

// Makes the page, once per load; false when the system gave no memory for it.
bool MakeOutlivingCode() noexcept;

// The entry's address, to be called as `inLibrary` would be; with the library's reference
// taken it leads to `inLibrary` (the arguments unchanged), otherwise to `otherwise`. Null before
// MakeOutlivingCode.
void* OutlivingEntryAddress(OutlivingEntry entry) noexcept;
void SetOutlivingTargets(OutlivingEntry entry, void* inLibrary, void* otherwise) noexcept;
// From now on the entry leads to `otherwise` even with the reference taken.
void LeadToOtherwise(OutlivingEntry entry) noexcept;

// Code outside the library for a thread whose start found the library gone: reads the
// function and its argument from the first two pointers of its start argument, calls it,
// releases the semaphore given to ReleaseAtThreadEnd (if any), and ends the thread.
void* CallThenExitThreadAddress() noexcept;
// The page keeps a handle of its own to `semaphore`, for as long as the page stays. Once.
void ReleaseAtThreadEnd(HANDLE semaphore) noexcept;

// An entry that could not be put back may still lead to the page: it stays for good.
void KeepOutlivingCode() noexcept;

// Called as the library is unloaded: frees the page unless a thread may still come through it
// (`mayBeReached`, KeepOutlivingCode, or a thread inside an entry now); then it stays for good.
void ReleaseOutlivingCode(bool mayBeReached) noexcept;

}  // namespace tamsel::platform
