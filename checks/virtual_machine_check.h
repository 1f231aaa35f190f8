#pragma once
// The judgement of the virtual-machine check, apart from its reads, so
// that crafted firmware identities and process names can reach it.
#include "platform/wide_buffer.h"
#include "identity/smbios_reader.h"

// True when the firmware identity names a hypervisor; `detail` then says
// which and by which value. `detail` is left untouched on false.
bool JudgeFirmwareIdentity(const SmbiosIdentity& identity, WideBuffer& detail);

// True when the process file name is a hypervisor's guest service, which
// runs only inside a virtual machine; `detail` then says which.
bool JudgeGuestServiceName(const wchar_t* fileName, size_t length, WideBuffer& detail);
