#pragma once

#include "state/SaveState.h"

// Between the save detour and its workers (SaveWorld.cpp) and the unload and exit policy
// (UnloadAndExit.cpp); not part of the plug-in's interface.

namespace tamsel {

// Claims this copy's save flag; false when it is held.
bool ClaimSaveFlag();
// Claims the flag and the process's save slot; false when either is held.
bool ClaimSave();
// Lets go of both.
void ReleaseSave();
// Runs one save on the calling thread, guarded and logged; lets the claim go at its end.
void RunSave(ADravikMode* gameMode);

// Whether the calling thread runs a save (a worker, or the server's thread when no worker
// could be started): an unload or exit on it must not wait for the save it is part of.
bool SaveRunsOnThisThread();
// Whether every call of the detour, but those on the calling thread, has left it.
bool DetourCallsLeft();
// From now on a save request runs on the calling thread; true for the first call.
bool BeginProcessExit();
bool ProcessExitBegun();
// The game-mode object of the newest request refused while a save ran, if any; cleared.
ADravikMode* TakeRequestRefusedDuringSave();

}  // namespace tamsel
