#pragma once
// The client files that the guard holds open while it runs.
#include "core/guard_state.h"

// Closes every held core client file, last opened first, and empties the list.
void ReleaseCoreFileHandles();
// Closes every held client archive, last opened first, and empties the list.
void ReleaseClientArchiveHandles();
