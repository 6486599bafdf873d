#pragma once

// The unload and exit policy: what the library's unload and the process's graceful exit wait
// for, how long, and what they log.

namespace tamsel {

// Called as the library goes away, after the detour is removed: claims the save flag so that no
// worker starts any more, then waits, within one limit, for a running save, for the calls still
// inside the detour and for a save thread that still runs the library's code. Logs when it has
// to wait and when the limit runs out. Never waits for a save on the calling thread.
void WaitForSaveWorker();

// Runs as the process begins a graceful exit, before the other threads are ended: from now on
// a save request runs on the calling thread, and a running save on another thread is waited
// for, within the unload's limit and with its log lines. When a request was refused while that
// save ran (the server's shutdown save, typically), the server's routine then runs once more,
// here, so that the state the server last asked to save reaches the disk. Only the first call
// waits: an exit passes through more than one redirected exit function.
void HoldExitForSave();

}  // namespace tamsel
