// Virtual machines are recognised by what their firmware says it is and by
// the guest services that only run inside one. Neither the bare CPUID
// hypervisor bit nor the hypervisor vendor leaf is used: Windows with
// virtualization-based security runs on Hyper-V and sets both on physical
// machines, and a player under Wine inherits whatever the Linux host reports.
// Wine itself is not a virtual machine and nothing here looks for it.
#include "checks/virtual_machine_check.h"

#include <cwchar>

#include "checks/detection_checks.h"
#include "platform/native_system_information.h"
#include "platform/path_text.h"
#include "state/guard_state.h"

namespace {
enum class Field { kSystemManufacturer, kSystemProductName, kBiosVendor, kSystemSerialNumber };
enum class Compare { kEqual, kPrefix };

// A signature matches one firmware value; `alsoManufacturer`, when set,
// must equal the system manufacturer too (for makers of hypervisors that
// also sell physical machines).
struct FirmwareSignature {
  const wchar_t* hypervisor;
  Field field;
  Compare compare;
  const wchar_t* value;
  const wchar_t* alsoManufacturer;
};

constexpr FirmwareSignature kFirmwareSignatures[] = {
    {L"VMware", Field::kSystemManufacturer, Compare::kEqual, L"VMware, Inc.", nullptr},
    {L"VMware", Field::kSystemProductName, Compare::kPrefix, L"VMware Virtual Platform", nullptr},
    {L"VMware", Field::kSystemProductName, Compare::kPrefix, L"VMware7,1", nullptr},
    {L"VMware", Field::kSystemProductName, Compare::kPrefix, L"VMware20,1", nullptr},
    {L"VMware", Field::kBiosVendor, Compare::kEqual, L"VMware, Inc.", nullptr},
    {L"VMware", Field::kSystemSerialNumber, Compare::kPrefix, L"VMware-", nullptr},
    {L"VirtualBox", Field::kSystemManufacturer, Compare::kEqual, L"innotek GmbH", nullptr},
    {L"VirtualBox", Field::kSystemProductName, Compare::kEqual, L"VirtualBox", nullptr},
    {L"VirtualBox", Field::kBiosVendor, Compare::kEqual, L"innotek GmbH", nullptr},
    {L"QEMU", Field::kSystemManufacturer, Compare::kEqual, L"QEMU", nullptr},
    {L"QEMU", Field::kSystemProductName, Compare::kPrefix, L"Standard PC (i440FX + PIIX", nullptr},
    {L"QEMU", Field::kSystemProductName, Compare::kPrefix, L"Standard PC (Q35 + ICH9", nullptr},
    {L"QEMU", Field::kBiosVendor, Compare::kEqual, L"EFI Development Kit II / OVMF", nullptr},
    {L"KVM", Field::kSystemProductName, Compare::kEqual, L"KVM", nullptr},
    {L"KVM", Field::kSystemManufacturer, Compare::kEqual, L"Red Hat", nullptr},
    {L"KVM", Field::kSystemProductName, Compare::kEqual, L"OpenStack Nova", nullptr},
    {L"Xen", Field::kSystemManufacturer, Compare::kEqual, L"Xen", nullptr},
    {L"Xen", Field::kSystemProductName, Compare::kEqual, L"HVM domU", nullptr},
    {L"Xen", Field::kBiosVendor, Compare::kEqual, L"Xen", nullptr},
    // Microsoft builds Surface machines and Hyper-V firmware alike; only the
    // product name of Hyper-V's tells them apart.
    {L"Hyper-V", Field::kSystemProductName, Compare::kEqual, L"Virtual Machine", L"Microsoft Corporation"},
    {L"Parallels", Field::kSystemManufacturer, Compare::kPrefix, L"Parallels Software International", nullptr},
    {L"Parallels", Field::kSystemManufacturer, Compare::kPrefix, L"Parallels International", nullptr},
    {L"Parallels", Field::kSystemProductName, Compare::kPrefix, L"Parallels Virtual Platform", nullptr},
    {L"Parallels", Field::kSystemProductName, Compare::kPrefix, L"Parallels ARM Virtual Machine", nullptr},
    {L"Parallels", Field::kBiosVendor, Compare::kPrefix, L"Parallels Software International", nullptr},
    {L"Parallels", Field::kSystemSerialNumber, Compare::kPrefix, L"Parallels-", nullptr},
    {L"Bochs", Field::kSystemManufacturer, Compare::kEqual, L"Bochs", nullptr},
    {L"Bochs", Field::kSystemProductName, Compare::kEqual, L"Bochs", nullptr},
    {L"Bochs", Field::kBiosVendor, Compare::kEqual, L"Bochs", nullptr},
    {L"bhyve", Field::kBiosVendor, Compare::kEqual, L"BHYVE", nullptr},
};

struct GuestService {
  const wchar_t* fileName;
  const wchar_t* description;
};

// Services of guest tools; none of them runs on a host that merely has the
// hypervisor installed.
constexpr GuestService kGuestServices[] = {
    {L"vmtoolsd.exe", L"VMware Tools are running"},
    {L"vboxservice.exe", L"VirtualBox Guest Additions are running"},
    {L"vboxtray.exe", L"VirtualBox Guest Additions are running"},
    {L"prl_tools.exe", L"Parallels Tools are running"},
    {L"prl_tools_service.exe", L"Parallels Tools are running"},
    {L"qemu-ga.exe", L"the QEMU guest agent is running"},
    {L"xenservice.exe", L"Xen guest tools are running"},
};

const wchar_t* FieldLabel(Field field) {
  switch (field) {
    case Field::kSystemManufacturer: return L"system manufacturer";
    case Field::kSystemProductName: return L"system product";
    case Field::kBiosVendor: return L"BIOS vendor";
    case Field::kSystemSerialNumber: return L"system serial number";
  }
  return L"firmware";
}

const WideBuffer& FieldValue(const SmbiosIdentity& identity, Field field) {
  switch (field) {
    case Field::kSystemManufacturer: return identity.systemManufacturer;
    case Field::kSystemProductName: return identity.systemProductName;
    case Field::kBiosVendor: return identity.biosVendor;
    case Field::kSystemSerialNumber: return identity.systemSerialNumber;
  }
  return identity.systemManufacturer;
}

// Firmware strings are often padded with spaces.
void Trimmed(const WideBuffer& text, const wchar_t*& start, size_t& length) {
  start = text.CStr();
  length = text.Length();
  while (length && (*start == L' ' || *start == L'\t')) ++start, --length;
  while (length && (start[length - 1] == L' ' || start[length - 1] == L'\t')) --length;
}

bool Matches(const WideBuffer& text, Compare compare, const wchar_t* value) {
  const wchar_t* start = nullptr;
  size_t length = 0;
  Trimmed(text, start, length);
  size_t valueLength = std::wcslen(value);
  if (compare == Compare::kPrefix && length > valueLength) length = valueLength;
  return length != 0 && PathsEqualFoldingAscii(start, length, value, valueLength);
}

// "VMware (system manufacturer "VMware, Inc.")": the value shown is the
// table's, never the raw firmware text, which may hold a serial number.
bool Describe(const FirmwareSignature& signature, WideBuffer& detail) {
  detail.Clear();
  return detail.Append(signature.hypervisor) && detail.Append(L" (") && detail.Append(FieldLabel(signature.field)) &&
         detail.Append(L" \"") && detail.Append(signature.value) &&
         detail.Append(signature.compare == Compare::kPrefix ? L"...\")" : L"\")");
}
}  // namespace

bool JudgeFirmwareIdentity(const SmbiosIdentity& identity, WideBuffer& detail) {
  for (const FirmwareSignature& signature : kFirmwareSignatures) {
    if (!Matches(FieldValue(identity, signature.field), signature.compare, signature.value)) continue;
    if (signature.alsoManufacturer &&
        !Matches(identity.systemManufacturer, Compare::kEqual, signature.alsoManufacturer))
      continue;
    if (!Describe(signature, detail)) detail.Clear();
    if (detail.Empty()) detail.Append(signature.hypervisor);
    return true;
  }
  return false;
}

bool JudgeGuestServiceName(const wchar_t* fileName, size_t length, WideBuffer& detail) {
  for (const GuestService& service : kGuestServices) {
    if (!PathsEqualFoldingAscii(service.fileName, std::wcslen(service.fileName), fileName, length)) continue;
    detail.Clear();
    detail.Append(service.description);
    return true;
  }
  return false;
}

bool DetectVirtualMachine(WideBuffer& detail) {
  detail.Clear();
  SmbiosIdentity identity;
  bool found = ReadSmbiosIdentity(identity) && JudgeFirmwareIdentity(identity, detail);
  WipeSmbiosIdentity(identity);
  if (found) return true;

  // The guest services, from the process list. A list that cannot be read
  // proves nothing either way.
  NativeBuffer list;
  size_t filled = 0;
  DWORD error = 0;
  if (!QueryProcessList(&guard.processListBytes, list, filled, error)) return false;
  ProcessListWalker walker(list.Data(), filled);
  ProcessListItem item = {};
  while (walker.Next(item)) {
    if (JudgeGuestServiceName(item.imageName, item.imageNameLength, detail)) return true;
  }
  detail.Clear();
  return false;
}
