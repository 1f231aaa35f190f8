#pragma once
// The one way the guard ends the client: message into the last-error text,
// the error helper started once with the violation code, exit code 13.
#include <windows.h>
#include "platform/wide_buffer.h"

// Never returns. `message` may be null, empty, or the last-error text
// itself; each of those leaves the text as it is.
[[noreturn]] void FatalExit(const wchar_t* violationCode, const wchar_t* message);

// Starts "<client dir>ZarnelUpdateHelper.exe" --guard-error <code> <handle>
// with an inheritable, SYNCHRONIZE-only handle to this process as its only
// inherited handle. False when the guard is not running, the code could
// break the command line, or any step fails (everything made is released).
bool LaunchErrorHelper(const wchar_t* violationCode);

// The code may go on the command line: not null, not empty, no space and no
// double quote.
bool IsPassableViolationCode(const wchar_t* violationCode);

// "\"<helperPath>\" --guard-error <code> <handle as unsigned decimal>".
bool BuildErrorHelperCommandLine(const wchar_t* helperPath, const wchar_t* violationCode, HANDLE inheritedProcess,
                                 WideBuffer& commandLine);
