#pragma once
// The blocked-program table and the two ways a process is matched against
// it: by its image file name (cheap, from the process list) and by the
// version resource of its image file (costly, full scan only).
#include <cstddef>

#include "checks/detection_checks.h"

extern const BlockRule kBlockedPrograms[];
extern const size_t kBlockedProgramCount;

// The row whose image names hold this file name (A-Z folded), or null.
const BlockRule* MatchBlockedProgramName(const wchar_t* fileName, size_t length);
// The row whose product names or original file names hold these version
// resource values (either may be null), or null.
const BlockRule* MatchBlockedProgramVersion(const wchar_t* productName, const wchar_t* originalFileName);
