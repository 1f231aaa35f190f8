#pragma once
// The guard reaches the system through this table instead of calling
// imports directly, so that tests can make any single call fail (a read that
// breaks mid-file, a path that grows between two queries, TerminateProcess
// returning) where the real system cannot be made to. The shipped DLL only
// pays one indirect call; nothing of the table is exported.
#include <windows.h>
#include <wincrypt.h>
#include <ncrypt.h>
#include <tlhelp32.h>
#include <winternl.h>

struct Win32Calls {
#define WIN32_CALL(name) decltype(&::name) name;
#include "platform/win32_call_list.h"
#undef WIN32_CALL
};

// In the shipped DLL the table is read-only data: a write into it faults
// instead of switching a call off. Only the build of the guard's code that
// the tests link (ZARNELGUARD_TEST_SEAM) has it writable.
#ifdef ZARNELGUARD_TEST_SEAM
extern Win32Calls win32Calls;

// Puts every entry back to the real system call (tests call it between cases).
void RestoreWin32Calls();
#else
extern const Win32Calls win32Calls;
#endif
