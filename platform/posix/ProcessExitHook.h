#pragma once

namespace platform {

// For the library entry, as the library is unloaded by the process's exit (not by dlclose),
// while every thread still runs: runs what InterceptProcessExit was given, if it still holds,
// and from now on CodeOutlivesUnload is true.
void NoteProcessExit() noexcept;

}  // namespace platform
