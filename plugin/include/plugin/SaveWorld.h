#pragma once

#include "state/SaveState.h"

namespace tamsel {

// Takes the server's save request: runs the save on a new thread and returns at once, or
// refuses the request while a save runs.
void SaveWorldDetour(ADravikMode* gameMode);

// Body of a save thread.
void SaveWorker(ADravikMode* gameMode);

// A fresh library's save state: no save under way, no pinning failure reported yet.
void ResetSaveState();

// In the child of a fork(): no save thread was copied into it, so no save is under way there,
// unless the fork was made by the save itself.
void ResetSaveStateInForkedChild();

}  // namespace tamsel
