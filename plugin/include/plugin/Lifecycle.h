#pragma once

namespace tamsel {

// Sets the plug-in up when the library is attached: the logger, the configuration, then the
// detour over the server's world save.
void PluginLoad();

// Takes the detour away again when the library is detached, waits for a save still running the
// library's code, and leaves nothing of the library behind in the process. When the process is
// terminating (every other thread already ended), nothing is done: nothing may wait for a lock
// that an ended thread held, and a process that ends needs no detour removed.
void PluginUnload(bool processTerminating = false);

}  // namespace tamsel
