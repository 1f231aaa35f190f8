// The SMBIOS reader: the structure walk over crafted tables, the two-call
// firmware protocol, string fetching, and the machine's real table.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "identity/smbios_reader.h"
#include "smbios_table_builder.h"
#include "test_support.h"

namespace {
const Bytes kUuid = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
const wchar_t kUuidText[] = L"00112233445566778899aabbccddeeff";

struct Fields {
  std::wstring biosVendor, manufacturer, product, serial, uuid, baseboard;
};

Fields FieldsOf(const SmbiosIdentity& id) {
  return {id.biosVendor.CStr(),         id.systemManufacturer.CStr(), id.systemProductName.CStr(),
          id.systemSerialNumber.CStr(), id.systemUuid.CStr(),         id.baseboardSerialNumber.CStr()};
}

void ExpectFields(const Fields& expected, const SmbiosIdentity& id) {
  Fields got = FieldsOf(id);
  EXPECT_EQ(got.biosVendor, expected.biosVendor);
  EXPECT_EQ(got.manufacturer, expected.manufacturer);
  EXPECT_EQ(got.product, expected.product);
  EXPECT_EQ(got.serial, expected.serial);
  EXPECT_EQ(got.uuid, expected.uuid);
  EXPECT_EQ(got.baseboard, expected.baseboard);
}

Bytes System(size_t formattedLength, const Bytes& uuid = kUuid) {
  return SmbiosStructure(1, SystemFields(formattedLength, 1, 2, 3, uuid), {"Maker", "Model", "SYS-1"});
}
Bytes Bios(const std::string& vendor) { return SmbiosStructure(0, {1, 0, 0, 0}, {vendor}); }
Bytes Baseboard(const std::string& serial) { return SmbiosStructure(2, {1, 2, 0, 3}, {"B", "N", serial}); }

struct WalkCase {
  const char* name;
  Bytes buffer;
  bool result;
  Fields fields;  // checked when the walk succeeds
};

const WalkCase kWalkCases[] = {
    {"complete_table",
     RawSmbios({Bios("Vendor"), System(27), Baseboard("BB-7"), SmbiosStructure(3, {1, 0}, {"Case"}), EndOfTable()}),
     true,
     {L"Vendor", L"Maker", L"Model", L"SYS-1", kUuidText, L"BB-7"}},
    {"first_structure_end_of_table", RawSmbios({EndOfTable(), System(27)}), false, {}},
    {"ends_on_boundary_without_end_of_table", RawSmbios({System(27)}), true,
     {L"", L"Maker", L"Model", L"SYS-1", kUuidText, L""}},
    // Whatever follows End-of-Table would fail the walk if it were looked at.
    {"bytes_after_end_of_table_ignored", RawSmbios({System(8), EndOfTable(), Bytes{1, 2, 0}}), true,
     {L"", L"Maker", L"Model", L"SYS-1", L"", L""}},
    {"only_other_types", RawSmbios({SmbiosStructure(3, {1}, {"Case"}), SmbiosStructure(4, {}), EndOfTable()}), false,
     {}},
    // Only the first structure of each type counts, even with empty texts.
    {"second_type1_ignored_when_first_is_empty",
     RawSmbios({SmbiosStructure(1, SystemFields(27, 0, 0, 0, Bytes(16, 0))), System(27)}), true, {}},
    {"second_type1_ignored",
     RawSmbios({System(27), SmbiosStructure(1, SystemFields(27, 1, 1, 1, Bytes(16, 0x42)), {"Other"})}), true,
     {L"", L"Maker", L"Model", L"SYS-1", kUuidText, L""}},
    {"second_type0_and_type2_ignored",
     RawSmbios({Bios("First"), Bios("Second"), Baseboard("B1"), Baseboard("B2")}), true,
     {L"First", L"", L"", L"", L"", L"B1"}},
    // Formatted lengths: 2.0 (8), minimum for the UUID (24), 2.1 (25), 2.4 (27).
    {"type1_length_8", RawSmbios({System(8)}), true, {L"", L"Maker", L"Model", L"SYS-1", L"", L""}},
    {"type1_length_23", RawSmbios({System(23)}), true, {L"", L"Maker", L"Model", L"SYS-1", L"", L""}},
    {"type1_length_24", RawSmbios({System(24)}), true, {L"", L"Maker", L"Model", L"SYS-1", kUuidText, L""}},
    {"type1_length_25", RawSmbios({System(25)}), true, {L"", L"Maker", L"Model", L"SYS-1", kUuidText, L""}},
    {"type1_length_27", RawSmbios({System(27)}), true, {L"", L"Maker", L"Model", L"SYS-1", kUuidText, L""}},
    {"type1_length_5", RawSmbios({SmbiosStructure(1, {1}, {"Maker", "Model"})}), true,
     {L"", L"Maker", L"", L"", L"", L""}},
    {"type1_length_7", RawSmbios({SmbiosStructure(1, {1, 2, 0}, {"Maker", "Model", "SYS"})}), true,
     {L"", L"Maker", L"Model", L"", L"", L""}},
    {"type1_length_4", RawSmbios({SmbiosStructure(1, {}, {"Maker"})}), true, {}},
    {"uuid_all_zero", RawSmbios({System(27, Bytes(16, 0x00))}), true,
     {L"", L"Maker", L"Model", L"SYS-1", L"", L""}},
    {"uuid_all_ff", RawSmbios({System(27, Bytes(16, 0xFF))}), true, {L"", L"Maker", L"Model", L"SYS-1", L"", L""}},
    {"uuid_mostly_ff", RawSmbios({System(27, Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                                 0xFF, 0xFF, 0xFF, 0xFF, 0xFE})}),
     true,
     {L"", L"Maker", L"Model", L"SYS-1", L"fffffffffffffffffffffffffffffffe", L""}},
    {"type2_shorter_than_8_counts_as_met", RawSmbios({SmbiosStructure(2, {1, 2, 0}, {"B", "N", "S"})}), true, {}},
    {"string_number_past_last_string", RawSmbios({SmbiosStructure(1, SystemFields(8, 1, 2, 4), {"Maker", "Model"})}),
     true, {L"", L"Maker", L"Model", L"", L"", L""}},
    {"string_numbers_without_strings", RawSmbios({SmbiosStructure(1, SystemFields(8, 1, 2, 3)), Baseboard("BB")}),
     true, {L"", L"", L"", L"", L"", L"BB"}},
    {"empty_first_string", RawSmbios({SmbiosStructure(2, {1, 2, 0, 2}, {"", "BB-2"})}), true,
     {L"", L"", L"", L"", L"", L"BB-2"}},
    {"string_set_missing_second_zero",
     RawSmbios({System(27), Bytes{2, 8, 0, 1, 1, 0, 0, 1, 'B', 'B', 0}}), false, {}},
    {"string_set_missing_both_zeros", RawSmbios({System(27), Bytes{2, 8, 0, 1, 1, 0, 0, 1}}), false, {}},
    {"formatted_length_below_4", RawSmbios({System(8), Bytes{2, 3, 0, 0, 0}}), false, {}},
    {"formatted_area_past_table", RawSmbios({System(8), Bytes{2, 40, 0, 1, 1, 0, 0, 0, 0}}), false, {}},
    {"fewer_than_4_bytes_for_a_header", RawSmbios({System(8), Bytes{0, 0, 0}}), false, {}},
    {"table_length_0", RawSmbios({System(27)}, 0), false, {}},
    {"table_length_past_data", RawSmbios({System(27)}, static_cast<long>(System(27).size()) + 1), false, {}},
    // The table ends at its length: the bytes after it are not structures.
    {"table_length_short_of_data", RawSmbios({System(27)}, -1, Bytes{1, 2, 3}), true,
     {L"", L"Maker", L"Model", L"SYS-1", kUuidText, L""}},
    {"header_only", RawSmbios({}), false, {}},
    {"shorter_than_header", Bytes{0, 3, 4, 0, 0, 0, 0}, false, {}},
};

// A copy that ends exactly at a page the process may not touch, so a read
// one byte past the buffer faults instead of passing unnoticed.
class PageEndCopy {
 public:
  explicit PageEndCopy(const Bytes& bytes) {
    base_ = static_cast<uint8_t*>(VirtualAlloc(nullptr, 2 * kPage, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    DWORD old = 0;
    VirtualProtect(base_ + kPage, kPage, PAGE_NOACCESS, &old);
    data_ = base_ + kPage - bytes.size();
    memcpy(data_, bytes.data(), bytes.size());
  }
  ~PageEndCopy() { VirtualFree(base_, 0, MEM_RELEASE); }
  const uint8_t* Data() const { return data_; }

 private:
  static constexpr size_t kPage = 4096;
  uint8_t* base_;
  uint8_t* data_;
};

class SmbiosWalk : public testing::TestWithParam<WalkCase> {};

TEST_P(SmbiosWalk, ReadsOrRejectsTheCraftedTable) {
  const WalkCase& c = GetParam();
  PageEndCopy copy(c.buffer);
  SmbiosIdentity identity;
  ASSERT_EQ(WalkSmbiosBuffer(copy.Data(), c.buffer.size(), identity), c.result);
  if (c.result) ExpectFields(c.fields, identity);
}

INSTANTIATE_TEST_SUITE_P(Tables, SmbiosWalk, testing::ValuesIn(kWalkCases),
                         [](const testing::TestParamInfo<WalkCase>& info) { return std::string(info.param.name); });

TEST(SmbiosWalk, EveryTruncatedTableStaysInsideItsBuffer) {
  const std::vector<Bytes> structures = {Bios("Vendor"), System(27), Baseboard("BB-7")};
  Bytes full = RawSmbios(structures);
  std::vector<size_t> boundaries;
  size_t at = 8;
  for (const Bytes& s : structures) boundaries.push_back(at += s.size());
  for (size_t size = 8; size <= full.size(); ++size) {
    Bytes cut(full.begin(), full.begin() + size);
    const uint32_t tableLength = static_cast<uint32_t>(size - 8);
    memcpy(cut.data() + 4, &tableLength, 4);
    PageEndCopy copy(cut);
    SmbiosIdentity identity;
    const bool onBoundary = std::find(boundaries.begin(), boundaries.end(), size) != boundaries.end();
    // Only a cut between two structures leaves a table without a fault.
    EXPECT_EQ(WalkSmbiosBuffer(copy.Data(), size, identity), onBoundary) << size;
  }
}

// --- The firmware-table protocol -------------------------------------------

struct ProtocolFake {
  static inline UINT sizeAnswer = 0;
  static inline UINT copyAnswer = 0;
  static inline int calls = 0;
  static UINT WINAPI Get(DWORD, DWORD, PVOID buffer, DWORD size) {
    ++calls;
    if (!buffer) return sizeAnswer;
    EXPECT_EQ(size, sizeAnswer);
    Bytes table = RawSmbios({System(27)});
    memcpy(buffer, table.data(), std::min<size_t>(size, table.size()));
    return copyAnswer;
  }
};

TEST(ReadSmbiosIdentity, RejectsImplausibleSizesBeforeAllocating) {
  for (UINT size : {0u, 1u, 7u, 0x400001u, 0xFFFFFFFFu}) {
    ProtocolFake::sizeAnswer = size;
    ProtocolFake::calls = 0;
    win32Calls.GetSystemFirmwareTable = ProtocolFake::Get;
    SmbiosIdentity identity;
    EXPECT_FALSE(ReadSmbiosIdentity(identity)) << size;
    EXPECT_EQ(ProtocolFake::calls, 1) << size;
  }
}

TEST(ReadSmbiosIdentity, SecondCallMustReturnTheFirstSize) {
  const UINT tableSize = static_cast<UINT>(RawSmbios({System(27)}).size());
  struct Case {
    UINT size;
    UINT copied;
    bool result;
  };
  for (const Case& c : {Case{tableSize, tableSize, true}, Case{tableSize + 10, tableSize + 10, true},
                        Case{tableSize, tableSize - 1, false}, Case{tableSize, tableSize + 1, false},
                        Case{tableSize, 0, false}}) {
    ProtocolFake::sizeAnswer = c.size;
    ProtocolFake::copyAnswer = c.copied;
    ProtocolFake::calls = 0;
    win32Calls.GetSystemFirmwareTable = ProtocolFake::Get;
    SmbiosIdentity identity;
    EXPECT_EQ(ReadSmbiosIdentity(identity), c.result) << c.size << " " << c.copied;
    EXPECT_EQ(ProtocolFake::calls, 2);
    if (c.result) {
      EXPECT_EQ(std::wstring(identity.systemSerialNumber.CStr()), L"SYS-1");
    }
  }
}

TEST(ReadSmbiosIdentity, AcceptsATableOfExactlyFourMebibytes) {
  Bytes table = RawSmbios({Bios("Big")});
  table.resize(0x400000, 0);
  FakeFirmware::Install(table);
  SmbiosIdentity identity;
  ASSERT_TRUE(ReadSmbiosIdentity(identity));
  EXPECT_EQ(std::wstring(identity.biosVendor.CStr()), L"Big");
}

// --- Strings -----------------------------------------------------------------

TEST(ReadSmbiosString, ConvertsFromTheAnsiCodePage) {
  const std::string latin = "S\xC9rie \xE9";
  Bytes table = RawSmbios({SmbiosStructure(1, SystemFields(8, 0, 0, 1), {latin})});
  wchar_t expected[16] = {};
  int count = MultiByteToWideChar(CP_ACP, 0, latin.data(), static_cast<int>(latin.size()), expected, 16);
  ASSERT_GT(count, 0);
  SmbiosIdentity identity;
  ASSERT_TRUE(WalkSmbiosBuffer(table.data(), table.size(), identity));
  EXPECT_EQ(std::wstring(identity.systemSerialNumber.CStr()), std::wstring(expected, count));
}

TEST(ReadSmbiosString, FetchesByNumberWithinTheSet) {
  // Set "ab\0\0cd\0\0" would end at the first pair; use "ab\0cd\0\0" at offset 8.
  Bytes buffer = {0, 0, 0, 0, 0, 0, 0, 0, 'a', 'b', 0, 'c', 'd', 0, 0};
  const size_t setStart = 8, setEnd = 13;
  struct Case {
    uint8_t number;
    bool result;
    const wchar_t* text;
  };
  for (const Case& c : {Case{0, true, L""}, Case{1, true, L"ab"}, Case{2, true, L"cd"}, Case{3, false, L""},
                        Case{255, false, L""}}) {
    WideBuffer text;
    text.Assign(L"stale", 5);
    EXPECT_EQ(ReadSmbiosString(buffer.data(), setStart, setEnd, c.number, text), c.result) << int(c.number);
    EXPECT_EQ(std::wstring(text.CStr()), c.text) << int(c.number);
  }
  WideBuffer none;
  EXPECT_FALSE(ReadSmbiosString(buffer.data(), setEnd, setEnd, 1, none));  // set without strings
  EXPECT_TRUE(ReadSmbiosString(buffer.data(), setEnd, setEnd, 0, none));
}

struct ConversionFake {
  static inline int firstAnswer = 0;
  static inline int secondDelta = 0;
  static int WINAPI Convert(UINT codePage, DWORD flags, LPCCH text, int length, LPWSTR out, int room) {
    int real = MultiByteToWideChar(codePage, flags, text, length, out, room);
    if (!out) return firstAnswer < 0 ? real : firstAnswer;
    return real + secondDelta;
  }
};

TEST(ReadSmbiosString, AConversionFailureEmptiesOnlyThatField) {
  struct Case {
    int firstAnswer;  // -1: the real count
    int secondDelta;
  };
  for (const Case& c : {Case{0, 0}, Case{-1, -1}, Case{-1, 1}}) {
    ConversionFake::firstAnswer = c.firstAnswer;
    ConversionFake::secondDelta = c.secondDelta;
    win32Calls.MultiByteToWideChar = ConversionFake::Convert;
    Bytes table = RawSmbios({System(27), EndOfTable()});
    SmbiosIdentity identity;
    ASSERT_TRUE(WalkSmbiosBuffer(table.data(), table.size(), identity));
    ExpectFields({L"", L"", L"", L"", kUuidText, L""}, identity);
  }
}

// --- The machine's own table ---------------------------------------------------

TEST(ReadSmbiosIdentity, ReadsTheRealFirmwareTable) {
  SmbiosIdentity first, second;
  ASSERT_TRUE(ReadSmbiosIdentity(first));
  ASSERT_TRUE(ReadSmbiosIdentity(second));
  Fields a = FieldsOf(first), b = FieldsOf(second);
  EXPECT_EQ(a.uuid, b.uuid);
  EXPECT_EQ(a.serial, b.serial);
  EXPECT_EQ(a.baseboard, b.baseboard);
  if (!a.uuid.empty()) {
    ASSERT_EQ(a.uuid.size(), 32u);
    for (wchar_t c : a.uuid) EXPECT_TRUE((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f')) << a.uuid;
  }
  WipeSmbiosIdentity(first);
  EXPECT_TRUE(first.systemUuid.Empty());
}
}  // namespace
