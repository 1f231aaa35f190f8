#pragma once
// The client files that the guard holds open while it runs.
#include "state/guard_state.h"

// Closes every held core client file in manifest order and empties the list.
void ReleaseCoreFileHandles();
// Closes every held client archive in manifest order and empties the list.
void ReleaseClientArchiveHandles();
