// The machine identity: value normalisation, the placeholder list, the
// identity text, and the digest over sources injected through the call table.
#include <gtest/gtest.h>

#include <windows.h>
#include <bcrypt.h>

#include <string>
#include <vector>

#include "identity/identity_text.h"
#include "identity/identity_value_rules.h"
#include "identity/machine_identity.h"
#include "smbios_table_builder.h"
#include "test_support.h"

namespace {
const char kStableIdentityMessage[] =
    "ZarnelGuard could not build a stable machine identity from this Windows installation.";
const char kHashMessage[] = "ZarnelGuard could not hash its machine identity.";

std::string AsString(const IdentityBytes& bytes) {
  return bytes.Length() ? std::string(reinterpret_cast<const char*>(bytes.Data()), bytes.Length()) : std::string();
}

std::wstring LastErrorText() { return guard.lastErrorText; }
std::wstring Widen(const char* ascii) { return std::wstring(ascii, ascii + strlen(ascii)); }

// SHA-256 through bcrypt, not the CryptoAPI service the guard uses.
std::string BcryptSha256Hex(const std::string& message) {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  unsigned char digest[32] = {};
  EXPECT_EQ(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0), 0);
  EXPECT_EQ(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0), 0);
  EXPECT_EQ(BCryptHashData(hash, (PUCHAR)message.data(), static_cast<ULONG>(message.size()), 0), 0);
  EXPECT_EQ(BCryptFinishHash(hash, digest, sizeof(digest), 0), 0);
  BCryptDestroyHash(hash);
  BCryptCloseAlgorithmProvider(algorithm, 0);
  return ToHex(digest, sizeof(digest));
}

// --- NormalizeIdentityValue ----------------------------------------------------

struct NormalizeCase {
  const char* name;
  std::wstring value;
  bool accepted;
  std::string utf8;
};

const NormalizeCase kNormalizeCases[] = {
    {"plain", L"SN-1234", true, "SN-1234"},
    {"case_kept", L"AbC", true, "AbC"},
    {"trim_and_fold", L"  Default   String 2 ", true, "Default String 2"},
    {"tab_becomes_one_space", L"Serial\tNumber 7", true, "Serial Number 7"},
    {"line_breaks_fold", L"\r\nA\x0B\x0C" L"B\n", true, "A B"},
    {"nbsp_is_space", L"\x00A0" L"A\x00A0\x00A0" L"B\x00A0", true, "A B"},
    {"nel_is_space", L"A\x0085" L"B", true, "A B"},
    {"ideographic_space", L"\x3000" L"A\x3000" L"B", true, "A B"},
    {"em_space", L"A\x2003" L"B", true, "A B"},
    {"control_u0001", L"AB\x0001" L"CD", false, ""},
    {"control_u001f", L"AB\x001F", false, ""},
    {"delete_u007f", L"AB\x007F", false, ""},
    {"nul_inside", std::wstring(L"AB\0CD", 5), false, ""},
    {"empty", L"", false, ""},
    {"only_white_space", L" \t\x00A0\x3000 ", false, ""},
    {"default_string_any_case", L"  Default   String ", false, ""},
    {"oem_capitals", L"TO BE FILLED BY O.E.M.", false, ""},
    {"ten_digits", L"0123456789", false, ""},
    {"eleven_digits", L"01234567890", true, "01234567890"},
    {"eight_capital_f", L"FFFFFFFF", false, ""},
    // Only A to Z fold: the Kelvin sign does not make "unknown".
    {"kelvin_sign_not_folded", L"un\x212Anown", true, "un\xE2\x84\xAAnown"},
    {"latin_utf8", L"S\x00E9rie", true, "S\xC3\xA9rie"},
    {"surrogate_pair", L"A\xD83D\xDE00", true, "A\xF0\x9F\x98\x80"},
    {"unpaired_high_surrogate", L"A\xD83D" L"B", false, ""},
    {"unpaired_low_surrogate", L"\xDE00", false, ""},
    {"exactly_256_units", std::wstring(256, L'x'), true, std::string(256, 'x')},
    {"257_units", std::wstring(257, L'x'), false, ""},
    {"256_after_folding", L"   " + std::wstring(128, L'a') + L"      " + std::wstring(127, L'b') + L"  ", true,
     std::string(128, 'a') + " " + std::string(127, 'b')},
    {"257_after_folding", std::wstring(128, L'a') + L"\t\t" + std::wstring(128, L'b'), false, ""},
};

class NormalizeIdentity : public testing::TestWithParam<NormalizeCase> {};

TEST_P(NormalizeIdentity, FoldsScreensAndConverts) {
  const NormalizeCase& c = GetParam();
  IdentityBytes out;
  out.Append("stale", 5);
  EXPECT_EQ(NormalizeIdentityValue(c.value.data(), c.value.size(), out), c.accepted);
  EXPECT_EQ(AsString(out), c.accepted ? c.utf8 : "");
}

INSTANTIATE_TEST_SUITE_P(Values, NormalizeIdentity, testing::ValuesIn(kNormalizeCases),
                         [](const testing::TestParamInfo<NormalizeCase>& info) { return std::string(info.param.name); });

// Above U+00FF the system's character table decides; Latin-1 never asks it.
BOOL WINAPI EverythingIsSpace(DWORD infoType, LPCWCH text, int length, LPWORD types) {
  EXPECT_EQ(infoType, static_cast<DWORD>(CT_CTYPE1));
  EXPECT_EQ(length, 1);
  EXPECT_GT(text[0], 0xFF);
  types[0] = C1_SPACE;
  return TRUE;
}

TEST(NormalizeIdentityValue, AsksTheSystemOnlyAboveLatin1) {
  win32Calls.GetStringTypeW = EverythingIsSpace;
  const std::wstring value = L"a\x00E9" L"b\x0100" L"c";
  IdentityBytes out;
  ASSERT_TRUE(NormalizeIdentityValue(value.data(), value.size(), out));
  EXPECT_EQ(AsString(out), "a\xC3\xA9" "b c");
}

int WINAPI FailingUtf8(UINT, DWORD, LPCWCH, int, LPSTR, int, LPCCH, LPBOOL) { return 0; }
int WINAPI ShortUtf8(UINT page, DWORD flags, LPCWCH text, int units, LPSTR out, int room, LPCCH, LPBOOL) {
  int n = WideCharToMultiByte(page, flags, text, units, out, room, nullptr, nullptr);
  return out ? n - 1 : n;
}

TEST(NormalizeIdentityValue, ConversionFailuresReject) {
  for (auto fake : {&FailingUtf8, &ShortUtf8}) {
    win32Calls.WideCharToMultiByte = fake;
    IdentityBytes out;
    EXPECT_FALSE(NormalizeIdentityValue(L"SN-1", 4, out));
    EXPECT_EQ(out.Length(), 0u);
  }
}

// --- IsPlaceholderIdentityValue ------------------------------------------------

TEST(IsPlaceholderIdentityValue, MatchesTheWholeTextIgnoringAsciiCase) {
  const char* placeholders[] = {"none",           "unknown",  "not specified",          "not applicable",
                                "default string", "TO BE FILLED BY O.E.M.", "To Be Filled By OEM",
                                "System Serial Number", "0123456789", "123456789", "00000000", "ffffffff",
                                "FfFfFfFf",       "NONE"};
  for (const char* p : placeholders) {
    std::wstring value = Widen(p);
    EXPECT_TRUE(IsPlaceholderIdentityValue(value.data(), value.size())) << p;
  }
  const char* others[] = {"non",  "none1", "nonee", "to be filled by o.e.m", "1234567890", "000000000",
                          "0000000", "fffffff", "default  string", "n/a", ""};
  for (const char* p : others) {
    std::wstring value = Widen(p);
    EXPECT_FALSE(IsPlaceholderIdentityValue(value.data(), value.size())) << p;
  }
  // U+0130 lower-cases to i under some locales; here it is not an i.
  const std::wstring dotted = L"\x0130nvalid";
  EXPECT_FALSE(IsPlaceholderIdentityValue(dotted.data(), dotted.size()));
}

// --- SerializeIdentityComponents -----------------------------------------------

struct Component {
  const char* name;
  std::wstring value;
  bool primary;
};

bool Serialize(const std::vector<Component>& list, std::string* text) {
  std::vector<IdentityComponent> components;
  for (const Component& c : list) components.push_back({c.name, c.value.data(), c.value.size(), c.primary});
  IdentityBytes out;
  out.Append("stale", 5);
  bool result = SerializeIdentityComponents(components.data(), components.size(), out);
  *text = AsString(out);
  return result;
}

TEST(SerializeIdentityComponents, SortsNamesInByteOrder) {
  std::string text;
  ASSERT_TRUE(Serialize({{"ab", L"1", true}, {"a0", L"2", false}, {"a", L"3", false}, {"a-b", L"4", false}}, &text));
  EXPECT_EQ(text, "a=3\na-b=4\na0=2\nab=1\n");
}

TEST(SerializeIdentityComponents, FailsWithEmptyOutput) {
  struct Case {
    const char* name;
    std::vector<Component> components;
  };
  const Case cases[] = {
      {"no_components", {}},
      {"one_component", {{"a", L"x", true}}},
      {"second_value_dropped", {{"a", L"x", true}, {"b", L"  ", true}}},
      {"no_primary", {{"a", L"x", false}, {"b", L"y", false}}},
      {"primary_dropped", {{"a", L"unknown", true}, {"b", L"y", false}, {"c", L"z", false}}},
      {"duplicate_name", {{"x", L"1", true}, {"y", L"2", true}, {"x", L"3", true}}},
      {"empty_name", {{"a", L"x", true}, {"", L"y", true}}},
      {"null_name", {{"a", L"x", true}, {nullptr, L"y", true}}},
      {"upper_case_name", {{"a", L"x", true}, {"B", L"y", true}}},
      {"underscore_in_name", {{"a", L"x", true}, {"b_c", L"y", true}}},
      // The name is judged before the value, so a dropped value does not hide it.
      {"bad_name_with_empty_value", {{"a", L"x", true}, {"b", L"y", true}, {"C", L"", true}}},
  };
  for (const Case& c : cases) {
    std::string text;
    EXPECT_FALSE(Serialize(c.components, &text)) << c.name;
    EXPECT_EQ(text, "") << c.name;
  }
}

TEST(SerializeIdentityComponents, TextMayReachButNotPass4096Bytes) {
  // "a=" + 256 units + LF is 259 bytes; the second line is name + "=y\n".
  for (size_t nameLength : {3834u, 3835u}) {
    std::string longName(nameLength, 'n');
    std::string text;
    bool result = Serialize({{"a", std::wstring(256, L'x'), true}, {longName.c_str(), L"y", false}}, &text);
    EXPECT_EQ(result, nameLength == 3834u) << nameLength;
    EXPECT_EQ(text.size(), result ? 4096u : 0u);
  }
}

// --- BuildMachineIdentity --------------------------------------------------------

HKEY const kFakeKey = reinterpret_cast<HKEY>(0x4D47);

// The machine as the identity builder sees it.
struct FakeMachine {
  LSTATUS openStatus = ERROR_SUCCESS;
  LSTATUS queryStatus = ERROR_SUCCESS;  // anything else overrides the emulated answer
  DWORD valueType = REG_SZ;
  std::string valueBytes;               // stored registry data
  Bytes firmware;                       // empty: the firmware call fails
  UINT windowsDirectoryResult = 10;     // 0 or >= 260: failure
  BOOL volumePathResult = TRUE;
  BOOL volumeInfoResult = TRUE;
  DWORD volumeSerial = 0x1a2b3c4d;

  // What the builder asked for.
  REGSAM openAccess = 0;
  DWORD queryBufferSize = 0;
  int closes = 0;
  std::wstring volumePathAsked, volumeInfoAsked;
  std::string hashed;  // bytes handed to CryptHashData
};
FakeMachine machine;

std::string Utf16Bytes(const std::wstring& text, bool terminator = true) {
  std::string bytes(reinterpret_cast<const char*>(text.data()), text.size() * 2);
  if (terminator) bytes.append(2, '\0');
  return bytes;
}

LSTATUS WINAPI FakeOpen(HKEY root, LPCWSTR path, DWORD options, REGSAM access, PHKEY key) {
  EXPECT_EQ(root, HKEY_LOCAL_MACHINE);
  EXPECT_STREQ(path, L"SOFTWARE\\Microsoft\\Cryptography");
  EXPECT_EQ(options, 0u);
  machine.openAccess = access;
  if (machine.openStatus != ERROR_SUCCESS) return machine.openStatus;
  *key = kFakeKey;
  return ERROR_SUCCESS;
}

LSTATUS WINAPI FakeQuery(HKEY key, LPCWSTR name, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD size) {
  EXPECT_EQ(key, kFakeKey);
  EXPECT_STREQ(name, L"MachineGuid");
  machine.queryBufferSize = *size;
  if (machine.queryStatus != ERROR_SUCCESS) return machine.queryStatus;
  const DWORD stored = static_cast<DWORD>(machine.valueBytes.size());
  *type = machine.valueType;
  if (stored > *size) {
    *size = stored;
    return ERROR_MORE_DATA;
  }
  memcpy(data, machine.valueBytes.data(), stored);
  *size = stored;
  return ERROR_SUCCESS;
}

LSTATUS WINAPI FakeClose(HKEY key) {
  EXPECT_EQ(key, kFakeKey);
  ++machine.closes;
  return ERROR_SUCCESS;
}

UINT WINAPI FakeWindowsDirectory(LPWSTR buffer, UINT size) {
  EXPECT_EQ(size, 260u);
  if (machine.windowsDirectoryResult && machine.windowsDirectoryResult < size) wcscpy(buffer, L"D:\\Windows");
  return machine.windowsDirectoryResult;
}

BOOL WINAPI FakeVolumePath(LPCWSTR file, LPWSTR volume, DWORD size) {
  EXPECT_EQ(size, 260u);
  machine.volumePathAsked = file;
  if (machine.volumePathResult) wcscpy(volume, L"D:\\");
  return machine.volumePathResult;
}

BOOL WINAPI FakeVolumeInfo(LPCWSTR root, LPWSTR name, DWORD nameSize, LPDWORD serial, LPDWORD maxComponent,
                           LPDWORD flags, LPWSTR fileSystem, DWORD fileSystemSize) {
  machine.volumeInfoAsked = root;
  EXPECT_TRUE(!name && !nameSize && !maxComponent && !flags && !fileSystem && !fileSystemSize);
  if (!machine.volumeInfoResult) return FALSE;
  *serial = machine.volumeSerial;
  return TRUE;
}

BOOL WINAPI RecordingHashData(HCRYPTHASH hash, const BYTE* data, DWORD length, DWORD flags) {
  machine.hashed.append(reinterpret_cast<const char*>(data), length);
  return CryptHashData(hash, data, length, flags);
}

class BuildMachineIdentityTest : public testing::Test {
 protected:
  void SetUp() override {
    machine = FakeMachine{};
    machine.valueBytes = Utf16Bytes(L"{5f1a9c2e-0b7d-4e21-9a3f-6c8d2e4b1a70}");
    win32Calls.RegOpenKeyExW = FakeOpen;
    win32Calls.RegQueryValueExW = FakeQuery;
    win32Calls.RegCloseKey = FakeClose;
    win32Calls.GetWindowsDirectoryW = FakeWindowsDirectory;
    win32Calls.GetVolumePathNameW = FakeVolumePath;
    win32Calls.GetVolumeInformationW = FakeVolumeInfo;
    win32Calls.CryptHashData = RecordingHashData;
  }

  // An empty serial is string number 0: an empty last string cannot be stored.
  static Bytes Baseboard(const std::string& serial) {
    if (serial.empty()) return SmbiosStructure(2, {1, 2, 0, 0}, {"Board", "B1"});
    return SmbiosStructure(2, {1, 2, 0, 3}, {"Board", "B1", serial});
  }

  static void UseFirmware(const std::string& systemSerial, const Bytes& uuid, const std::string& baseboardSerial) {
    machine.firmware = RawSmbios({SmbiosStructure(1, SystemFields(27, 1, 2, 3, uuid), {"Maker", "Model", systemSerial}),
                                  Baseboard(baseboardSerial), EndOfTable()});
  }

  // Builds and checks the digest against the message laid out by hand.
  static void ExpectIdentity(const std::string& text) {
    FakeFirmware::Install(machine.firmware);
    ASSERT_TRUE(BuildMachineIdentity()) << testing::PrintToString(LastErrorText());
    std::string message("ZARNEL-GUARD-MACHINE-V1", 23);
    message.push_back('\0');
    message += text;
    EXPECT_EQ(machine.hashed, message);
    EXPECT_EQ(ToHex(guard.machineIdentityDigest, 32), BcryptSha256Hex(message));
  }

  static void ExpectFailure(const char* expectedMessage) {
    FakeFirmware::Install(machine.firmware);
    memset(guard.machineIdentityDigest, 0x5A, 32);
    EXPECT_FALSE(BuildMachineIdentity());
    EXPECT_EQ(LastErrorText(), Widen(expectedMessage));
    std::string untouched;
    for (int i = 0; i < 32; ++i) untouched += "5a";
    EXPECT_EQ(ToHex(guard.machineIdentityDigest, 32), untouched);
  }
};

const Bytes kUuid = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
const char kGuidLine[] = "machine-guid={5f1a9c2e-0b7d-4e21-9a3f-6c8d2e4b1a70}\n";

TEST_F(BuildMachineIdentityTest, HashesAllFiveComponentsSortedByName) {
  UseFirmware("  SYS\t42 ", kUuid, "MB-9");
  ExpectIdentity(std::string(kGuidLine) +
                 "smbios-baseboard-serial=MB-9\n"
                 "smbios-system-serial=SYS 42\n"
                 "smbios-system-uuid=00112233445566778899aabbccddeeff\n"
                 "system-volume=1a2b3c4d\n");
  EXPECT_EQ(machine.openAccess, static_cast<REGSAM>(KEY_QUERY_VALUE | KEY_WOW64_64KEY));
  EXPECT_EQ(machine.queryBufferSize, 512u);
  EXPECT_EQ(machine.closes, 1);
  EXPECT_EQ(machine.volumePathAsked, L"D:\\Windows");
  EXPECT_EQ(machine.volumeInfoAsked, L"D:\\");
}

TEST_F(BuildMachineIdentityTest, PlaceholderFirmwareLeavesGuidAndVolume) {
  UseFirmware("TO BE FILLED BY O.E.M.", Bytes(16, 0xFF), "To Be Filled By O.E.M.");
  ExpectIdentity(std::string(kGuidLine) + "system-volume=1a2b3c4d\n");
}

TEST_F(BuildMachineIdentityTest, TwoFirmwareComponentsSuffice) {
  machine.openStatus = ERROR_FILE_NOT_FOUND;
  machine.windowsDirectoryResult = 0;
  UseFirmware("SYS-42", kUuid, "");
  ExpectIdentity("smbios-system-serial=SYS-42\nsmbios-system-uuid=00112233445566778899aabbccddeeff\n");
}

TEST_F(BuildMachineIdentityTest, NonAsciiValuesAreHashedAsUtf8) {
  machine.valueBytes = Utf16Bytes(L"gu\x00EF" L"d-\x4E2D");
  ExpectIdentity("machine-guid=gu\xC3\xAF" "d-\xE4\xB8\xAD\nsystem-volume=1a2b3c4d\n");
}

TEST_F(BuildMachineIdentityTest, TooFewComponentsFail) {
  struct Case {
    const char* name;
    bool guid, firmware, volume;
  };
  for (const Case& c : {Case{"only_volume", false, false, true}, Case{"only_guid", true, false, false},
                        Case{"nothing", false, false, false}, Case{"firmware_placeholders_only", false, true, true}}) {
    SetUp();
    if (!c.guid) machine.openStatus = ERROR_FILE_NOT_FOUND;
    if (c.firmware) UseFirmware("Default string", Bytes(16, 0), "None");
    if (!c.volume) machine.volumeInfoResult = FALSE;
    SCOPED_TRACE(c.name);
    ExpectFailure(kStableIdentityMessage);
  }
}

TEST_F(BuildMachineIdentityTest, RegistryValueRules) {
  const std::wstring full(255, L'g');
  struct Case {
    const char* name;
    LSTATUS openStatus, queryStatus;
    DWORD type;
    std::string bytes;
    std::string guidLine;  // empty: no machine-guid component
  };
  const Case cases[] = {
      {"key_missing", ERROR_FILE_NOT_FOUND, ERROR_SUCCESS, REG_SZ, Utf16Bytes(L"G1"), ""},
      {"access_denied", ERROR_ACCESS_DENIED, ERROR_SUCCESS, REG_SZ, Utf16Bytes(L"G1"), ""},
      {"value_missing", ERROR_SUCCESS, ERROR_FILE_NOT_FOUND, REG_SZ, Utf16Bytes(L"G1"), ""},
      {"expand_sz", ERROR_SUCCESS, ERROR_SUCCESS, REG_EXPAND_SZ, Utf16Bytes(L"G1"), ""},
      {"binary", ERROR_SUCCESS, ERROR_SUCCESS, REG_BINARY, Utf16Bytes(L"G1"), ""},
      {"no_data", ERROR_SUCCESS, ERROR_SUCCESS, REG_SZ, "", ""},
      {"one_byte", ERROR_SUCCESS, ERROR_SUCCESS, REG_SZ, std::string("G", 1), ""},
      {"empty_text", ERROR_SUCCESS, ERROR_SUCCESS, REG_SZ, Utf16Bytes(L""), ""},
      {"longer_than_512_bytes", ERROR_SUCCESS, ERROR_SUCCESS, REG_SZ, Utf16Bytes(std::wstring(256, L'g')), ""},
      {"255_characters_and_terminator", ERROR_SUCCESS, ERROR_SUCCESS, REG_SZ, Utf16Bytes(full),
       "machine-guid=" + std::string(255, 'g') + "\n"},
      // 512 bytes without terminator: the last character gives way to one.
      {"512_bytes_unterminated", ERROR_SUCCESS, ERROR_SUCCESS, REG_SZ, Utf16Bytes(full + L"Z", false),
       "machine-guid=" + std::string(255, 'g') + "\n"},
      {"stops_at_first_zero", ERROR_SUCCESS, ERROR_SUCCESS, REG_SZ, Utf16Bytes(std::wstring(L"G1\0G2", 5)),
       "machine-guid=G1\n"},
      {"odd_size_unterminated", ERROR_SUCCESS, ERROR_SUCCESS, REG_SZ, Utf16Bytes(L"G1", false) + "\x33", "machine-guid=G1\x33\n"},
  };
  for (const Case& c : cases) {
    SetUp();
    SCOPED_TRACE(c.name);
    machine.openStatus = c.openStatus;
    machine.queryStatus = c.queryStatus;
    machine.valueType = c.type;
    machine.valueBytes = c.bytes;
    UseFirmware("SYS-42", Bytes(16, 0), "");
    ExpectIdentity(c.guidLine + "smbios-system-serial=SYS-42\nsystem-volume=1a2b3c4d\n");
    // The key is closed exactly when it was opened, whatever the query gave.
    EXPECT_EQ(machine.closes, c.openStatus == ERROR_SUCCESS ? 1 : 0);
  }
}

TEST_F(BuildMachineIdentityTest, VolumeRules) {
  struct Case {
    const char* name;
    UINT windowsDirectory;
    BOOL volumePath, volumeInfo;
    DWORD serial;
    const char* volumeLine;  // empty: no system-volume component
  };
  const Case cases[] = {
      {"zero_padded", 10, TRUE, TRUE, 0x00ABCDEF, "system-volume=00abcdef\n"},
      {"serial_zero_is_placeholder", 10, TRUE, TRUE, 0, ""},
      {"serial_all_ones_is_placeholder", 10, TRUE, TRUE, 0xFFFFFFFF, ""},
      {"no_windows_directory", 0, TRUE, TRUE, 0x1234, ""},
      {"windows_directory_too_long", 260, TRUE, TRUE, 0x1234, ""},
      {"no_volume_path", 10, FALSE, TRUE, 0x1234, ""},
      {"no_volume_information", 10, TRUE, FALSE, 0x1234, ""},
  };
  for (const Case& c : cases) {
    SetUp();
    SCOPED_TRACE(c.name);
    machine.windowsDirectoryResult = c.windowsDirectory;
    machine.volumePathResult = c.volumePath;
    machine.volumeInfoResult = c.volumeInfo;
    machine.volumeSerial = c.serial;
    UseFirmware("SYS-42", Bytes(16, 0), "");
    ExpectIdentity(std::string(kGuidLine) + "smbios-system-serial=SYS-42\n" + c.volumeLine);
  }
}

BOOL WINAPI FailingAcquire(HCRYPTPROV*, LPCWSTR, LPCWSTR, DWORD, DWORD) { return FALSE; }
BOOL WINAPI ZeroDigest(HCRYPTHASH, DWORD, BYTE* data, DWORD* length, DWORD) {
  memset(data, 0, *length);
  *length = 32;
  return TRUE;
}

TEST_F(BuildMachineIdentityTest, HashFailuresAndZeroDigestsAreRefused) {
  UseFirmware("SYS-42", kUuid, "MB-9");
  win32Calls.CryptAcquireContextW = FailingAcquire;
  ExpectFailure(kHashMessage);
  SetUp();
  UseFirmware("SYS-42", kUuid, "MB-9");
  win32Calls.CryptGetHashParam = ZeroDigest;
  ExpectFailure(kHashMessage);
}

// Under Wine: registry GUID, firmware table and C: volume of the test prefix.
TEST(BuildMachineIdentity, RealSystemGivesTheSameDigestTwice) {
  ASSERT_TRUE(BuildMachineIdentity()) << testing::PrintToString(LastErrorText());
  const std::string first = ToHex(guard.machineIdentityDigest, 32);
  EXPECT_NE(first, std::string(64, '0'));
  SecureZeroMemory(guard.machineIdentityDigest, 32);
  ASSERT_TRUE(BuildMachineIdentity());
  EXPECT_EQ(ToHex(guard.machineIdentityDigest, 32), first);
}
// Changes MachineGuid in the test prefix's registry and puts the stored
// bytes back when the case ends.
class RealMachineGuid {
 public:
  RealMachineGuid() {
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Cryptography", 0,
                  KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_WOW64_64KEY, &key_);
    DWORD size = sizeof(original_);
    hadValue_ = key_ && RegQueryValueExW(key_, L"MachineGuid", nullptr, &type_, original_, &size) == ERROR_SUCCESS;
    originalSize_ = size;
  }
  ~RealMachineGuid() {
    if (!key_) return;
    if (hadValue_)
      RegSetValueExW(key_, L"MachineGuid", 0, type_, original_, originalSize_);
    else
      RegDeleteValueW(key_, L"MachineGuid");
    RegCloseKey(key_);
  }
  bool Usable() const { return key_ != nullptr; }
  // The system adds a terminator that the count left out when the unit after
  // the data is zero, so a nonzero unit follows the stored bytes.
  bool Store(const std::string& bytes) {
    const std::string padded = bytes + std::string("\x01\x01", 2);
    return RegSetValueExW(key_, L"MachineGuid", 0, REG_SZ, reinterpret_cast<const BYTE*>(padded.data()),
                          static_cast<DWORD>(bytes.size())) == ERROR_SUCCESS;
  }
  DWORD StoredSize() const {
    DWORD size = 0;
    RegQueryValueExW(key_, L"MachineGuid", nullptr, nullptr, nullptr, &size);
    return size;
  }

 private:
  HKEY key_ = nullptr;
  DWORD type_ = REG_SZ;
  BYTE original_[1024] = {};
  DWORD originalSize_ = 0;
  bool hadValue_ = false;
};

std::string BuildRealDigest() {
  SecureZeroMemory(guard.machineIdentityDigest, 32);
  EXPECT_TRUE(BuildMachineIdentity()) << testing::PrintToString(LastErrorText());
  return ToHex(guard.machineIdentityDigest, 32);
}

// The system's own registry call, not a fake: a 512-byte value without
// terminator fills the 256-unit buffer exactly and is cut to 255 characters.
// The firmware comes through the seam: a container's firmware table carries
// no identity, and dropping the GUID must still leave two components.
TEST(BuildMachineIdentity, RealRegistryValueDrivesTheDigest) {
  FakeFirmware::Install(
      RawSmbios({SmbiosStructure(1, SystemFields(27, 1, 2, 3, Bytes(16, 0x42)), {"Maker", "Model", "SYS-7"}),
                 EndOfTable()}));
  RealMachineGuid guid;
  ASSERT_TRUE(guid.Usable());
  ASSERT_TRUE(guid.Store(Utf16Bytes(L"11111111-2222-3333-4444-555555555555")));
  const std::string first = BuildRealDigest();
  EXPECT_EQ(BuildRealDigest(), first);
  ASSERT_TRUE(guid.Store(Utf16Bytes(L"11111111-2222-3333-4444-555555555556")));
  EXPECT_NE(BuildRealDigest(), first);

  const std::wstring cut(255, L'g');
  ASSERT_TRUE(guid.Store(Utf16Bytes(cut)));
  const std::string terminated = BuildRealDigest();
  ASSERT_TRUE(guid.Store(Utf16Bytes(cut + L"Z", false)));
  ASSERT_EQ(guid.StoredSize(), 512u);
  EXPECT_EQ(BuildRealDigest(), terminated);
  // One unit more no longer fits: the GUID is dropped, the digest changes.
  ASSERT_TRUE(guid.Store(Utf16Bytes(cut + L"Z")));
  EXPECT_NE(BuildRealDigest(), terminated);
}
}  // namespace
