#pragma once

// Sets the plug-in up when the library is attached: the logger, the configuration, then the
// detour over the server's world save.
void PluginLoad();

// Takes the detour away again when the library is detached.
void PluginUnload();
