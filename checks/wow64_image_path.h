#pragma once
// The client is a 32-bit process. On 64-bit Windows the system hands such a
// process the SysWOW64 file when it opens one in System32, so a 64-bit
// program's own file there is reached only through Sysnative, the alias
// that the redirection leaves alone.
#include "platform/wide_buffer.h"

// The path under which this process reads the file that another process's
// image path names: under WOW64 a path inside the system directory is
// rewritten to the same place under `<Windows directory>\Sysnative`; any
// other path, or any path when the guard is not under WOW64 (or cannot tell),
// is copied unchanged. False only when memory runs short.
bool ImagePathForReading(const wchar_t* imagePath, WideBuffer& readPath);
