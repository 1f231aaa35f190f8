#include "identity/machine_identity.h"

#include <windows.h>

#include <cstring>
#include <cwchar>

#include "state/guard_state.h"
#include "platform/record_bytes.h"
#include "platform/handle_owner.h"
#include "platform/win32_calls.h"
#include "identity/identity_bytes.h"
#include "identity/identity_text.h"
#include "identity/smbios_reader.h"
#include "integrity/sha256_digest.h"

namespace {
constexpr char kMessageMagic[] = "ZARNEL-GUARD-MACHINE-V1";
constexpr size_t kMessageMagicLength = sizeof(kMessageMagic) - 1;  // 23, hashed without terminator
constexpr size_t kMessagePrefixLength = kMessageMagicLength + 1;    // and one zero byte
constexpr DWORD kMachineGuidUnits = 256;
constexpr UINT kPathUnits = 260;
constexpr size_t kVolumeSerialDigits = 8;
constexpr size_t kMaxComponents = 5;

// The sources of one build, each wiped when the build ends.
struct CollectedSources {
  wchar_t machineGuid[kMachineGuidUnits] = {};
  size_t machineGuidLength = 0;
  SmbiosIdentity smbios;
  bool smbiosRead = false;
  wchar_t volumeSerial[kVolumeSerialDigits] = {};
  bool volumeRead = false;

  CollectedSources() = default;
  CollectedSources(const CollectedSources&) = delete;
  CollectedSources& operator=(const CollectedSources&) = delete;
  ~CollectedSources() {
    SecureZeroMemory(machineGuid, sizeof(machineGuid));
    SecureZeroMemory(volumeSerial, sizeof(volumeSerial));
    WipeSmbiosIdentity(smbios);
  }
};

// The 64-bit view: on 64-bit Windows this 32-bit library would otherwise be
// redirected to the WOW6432Node copy, which need not hold the same GUID.
void ReadMachineGuid(CollectedSources& sources) {
  RegistryKeyOwner key;
  if (!key.KeepIf(win32Calls.RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Cryptography", 0,
                                           KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.Receive()) == ERROR_SUCCESS))
    return;
  DWORD type = 0;
  DWORD size = sizeof(sources.machineGuid);
  const LSTATUS status = win32Calls.RegQueryValueExW(key.Get(), L"MachineGuid", nullptr, &type,
                                                     reinterpret_cast<BYTE*>(sources.machineGuid), &size);
  key.Reset();
  // The stored text need not be terminated: a full 512-byte value keeps its
  // first 255 characters.
  sources.machineGuid[kMachineGuidUnits - 1] = L'\0';
  if (status != ERROR_SUCCESS || type != REG_SZ || size < sizeof(wchar_t)) {
    SecureZeroMemory(sources.machineGuid, sizeof(sources.machineGuid));
    return;
  }
  sources.machineGuidLength = wcsnlen(sources.machineGuid, kMachineGuidUnits);
}

void ReadVolumeSerial(CollectedSources& sources) {
  wchar_t windowsDirectory[kPathUnits] = {};
  wchar_t volumePath[kPathUnits] = {};
  DWORD serial = 0;
  // A result of kPathUnits or more is the size the directory would need: the
  // buffer was not filled, so it counts as a failure too.
  const UINT length = win32Calls.GetWindowsDirectoryW(windowsDirectory, kPathUnits);
  if (length == 0 || length >= kPathUnits) return;
  if (!win32Calls.GetVolumePathNameW(windowsDirectory, volumePath, kPathUnits)) return;
  if (!win32Calls.GetVolumeInformationW(volumePath, nullptr, 0, &serial, nullptr, nullptr, nullptr, 0)) return;
  static const wchar_t kDigits[] = L"0123456789abcdef";
  for (size_t i = 0; i < kVolumeSerialDigits; ++i)
    sources.volumeSerial[i] = kDigits[(serial >> (4 * (kVolumeSerialDigits - 1 - i))) & 0x0F];
  sources.volumeRead = true;
  SecureZeroMemory(&serial, sizeof(serial));
}

size_t ListComponents(const CollectedSources& sources, IdentityComponent components[kMaxComponents]) {
  size_t count = 0;
  if (sources.machineGuidLength)
    components[count++] = {"machine-guid", sources.machineGuid, sources.machineGuidLength, true};
  if (sources.smbiosRead) {
    const SmbiosIdentity& smbios = sources.smbios;
    components[count++] = {"smbios-system-uuid", smbios.systemUuid.CStr(), smbios.systemUuid.Length(), true};
    components[count++] = {"smbios-system-serial", smbios.systemSerialNumber.CStr(),
                           smbios.systemSerialNumber.Length(), true};
    components[count++] = {"smbios-baseboard-serial", smbios.baseboardSerialNumber.CStr(),
                           smbios.baseboardSerialNumber.Length(), true};
  }
  if (sources.volumeRead) components[count++] = {"system-volume", sources.volumeSerial, kVolumeSerialDigits, false};
  return count;
}

}  // namespace

bool BuildMachineIdentity() {
  CollectedSources sources;
  ReadMachineGuid(sources);
  sources.smbiosRead = ReadSmbiosIdentity(sources.smbios);
  ReadVolumeSerial(sources);

  IdentityComponent components[kMaxComponents];
  const size_t count = ListComponents(sources, components);
  IdentityBytes text;
  if (!SerializeIdentityComponents(components, count, text)) {
    SetLastErrorText(L"ZarnelGuard could not build a stable machine identity from this Windows installation.");
    return false;
  }

  IdentityBytes message;
  static const uint8_t kZero = 0;
  uint8_t digest[kSha256Size] = {};
  // The text is at most 4096 bytes, so the length fits the hash call.
  const bool hashed = message.Reserve(text.Length() + kMessagePrefixLength) &&
                      message.Append(kMessageMagic, kMessageMagicLength) && message.Append(&kZero, 1) &&
                      message.Append(text.Data(), text.Length()) &&
                      HashBufferSha256(message.Data(), static_cast<uint32_t>(message.Length()), digest) &&
                      !IsAllZeroBytes(digest, sizeof(digest));
  if (hashed)
    std::memcpy(guard.machineIdentityDigest, digest, sizeof(digest));
  else
    SetLastErrorText(L"ZarnelGuard could not hash its machine identity.");
  SecureZeroMemory(digest, sizeof(digest));
  text.Clear();
  message.Clear();
  return hashed;
}
