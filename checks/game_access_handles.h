#pragma once
// Whether another process holds an open handle to this (the client's)
// process, and with which access.
#include <windows.h>

#include <cstdint>

// Rights that let a holder read or change the game or run code in it.
// SYNCHRONIZE and the query rights are not among them: launchers, overlays
// and crash reporters hold those to wait for the game and show its name.
constexpr uint32_t kGameAccessRights = PROCESS_VM_READ | PROCESS_VM_WRITE | PROCESS_VM_OPERATION |
                                       PROCESS_CREATE_THREAD | PROCESS_DUP_HANDLE | PROCESS_SET_INFORMATION |
                                       PROCESS_SUSPEND_RESUME | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                                       GENERIC_ALL;

// True when the process that a process list showed as `holderProcessId`,
// created at `holderCreateTime` (the list's creation time), holds at least
// one handle to this process with a right of kGameAccessRights;
// `accessMask` is then the union of the access granted through all of its
// handles to this process, else 0. A process that got the id after the
// listed one ended holds nothing for it. False also when it cannot be found
// out (the holder cannot be opened and the system hides object addresses,
// the handle table cannot be read, the holder cannot be told from a later
// process of the same id): no handle is reported that was not seen.
bool FindGameAccessHeldBy(DWORD holderProcessId, ULONGLONG holderCreateTime, uint32_t& accessMask);
