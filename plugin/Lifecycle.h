#pragma once

// Sets the plug-in up when the library is attached: the logger, the configuration, then the
// detour over the server's world save.
void PluginLoad();

// Takes the detour away again when the library is detached, waits for a save still running the
// library's code, and leaves nothing of the library behind in the process. When the process is
// terminating, only the detour is taken away.
void PluginUnload(bool processTerminating = false);
