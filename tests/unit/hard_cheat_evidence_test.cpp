// The evidence of a confirmed detection: the name normaliser and the digest
// of the evidence text, checked against texts laid out here and hashed by
// bcrypt (the guard hashes with CryptoAPI).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hard_cheat_fixture.h"

namespace {
using hard_cheat_test::Sha256;

DWORD fakeProcessId;
DWORD WINAPI FakeProcessId() { return fakeProcessId; }
BOOL WINAPI FailHashCreation(HCRYPTPROV, ALG_ID, HCRYPTKEY, DWORD, HCRYPTHASH*) {
  SetLastError(NTE_BAD_ALGID);
  return FALSE;
}

struct NameCase {
  const char* label;
  std::wstring name;
  bool kept;
  std::string expected;
};
void PrintTo(const NameCase& c, std::ostream* os) { *os << c.label; }

const NameCase kNameCases[] = {
    {"violation_code", L"AC-HARD-001", true, "ac-hard-001"},
    {"two_spaces_become_one_hyphen", L"Foo  Bar.exe", true, "foo-bar.exe"},
    {"leading_and_trailing_separators_vanish", L"  --Cheat Engine--  ", true, "cheat-engine"},
    {"mixed_run_of_separators", L"a -+= b", true, "a-b"},
    {"underscore_and_dot_are_kept", L"x64_dbg.EXE", true, "x64_dbg.exe"},
    {"non_ascii_is_a_separator", L"\u00dcber\u00e9tool\u4e2d", true, "ber-tool"},
    {"letters_beyond_z_are_separators", L"z{a", true, "z-a"},
    {"only_separators", L"--", false, ""},
    {"only_non_ascii", L"\u00e9\u00e8", false, ""},
    {"empty", L"", false, ""},
    {"95_kept_characters", std::wstring(95, L'a'), true, std::string(95, 'a')},
    {"96_kept_characters", std::wstring(96, L'a'), false, ""},
    {"95_with_trailing_separators", std::wstring(95, L'a') + L"  ", true, std::string(95, 'a')},
    {"separator_then_character_past_95", std::wstring(94, L'a') + L" b", false, ""},
    {"separator_then_character_at_95", std::wstring(93, L'a') + L" b", true, std::string(93, 'a') + "-b"},
};

class EvidenceNameNormaliser : public testing::TestWithParam<NameCase> {};

TEST_P(EvidenceNameNormaliser, KeepsLowerCaseLettersDigitsDotUnderscoreAndOneHyphenPerRun) {
  const NameCase& c = GetParam();
  char normalised[kEvidenceNameCapacity];
  std::memset(normalised, 'x', sizeof(normalised));
  uint32_t length = 12345;
  ASSERT_EQ(NormaliseEvidenceName(c.name.c_str(), normalised, length), c.kept);
  if (!c.kept) {
    EXPECT_EQ(length, 0u);
    return;
  }
  EXPECT_EQ(length, c.expected.size());
  EXPECT_EQ(std::string(normalised), c.expected) << "zero-terminated after the kept characters";
}

INSTANTIATE_TEST_SUITE_P(Table, EvidenceNameNormaliser, testing::ValuesIn(kNameCases),
                         [](const testing::TestParamInfo<NameCase>& i) { return std::string(i.param.label); });

struct EvidenceCase {
  const char* label;
  uint16_t violation;
  const wchar_t* name;
  uint32_t accessMask;
  DWORD processId;
  std::vector<std::string> lines;  // each ended by one line feed in the text
  size_t textLength;
};
void PrintTo(const EvidenceCase& c, std::ostream* os) { *os << c.label; }

const EvidenceCase kEvidenceCases[] = {
    {"active_debugger_pid_700",
     1,
     L"active-debugger",
     0,
     700,
     {"ZARNEL-GUARD-EVIDENCE-V1", "violation=1", "name=active-debugger", "target-pid=700", "access=00000000"},
     89},
    {"hard_cheat_program_upper_case_mask",
     3,
     L"AC-PROC-042",
     0x1FFFFF,
     4294967295u,
     {"ZARNEL-GUARD-EVIDENCE-V1", "violation=3", "name=ac-proc-042", "target-pid=4294967295", "access=001FFFFF"},
     92},
    {"violation_2_full_mask",
     2,
     L"  Some Tool.exe ",
     0xFFFFFFFF,
     4,
     {"ZARNEL-GUARD-EVIDENCE-V1", "violation=2", "name=some-tool.exe", "target-pid=4", "access=FFFFFFFF"},
     85},
};

class EvidenceDigest : public testing::TestWithParam<EvidenceCase> {};

TEST_P(EvidenceDigest, IsTheSha256OfTheEvidenceText) {
  const EvidenceCase& c = GetParam();
  fakeProcessId = c.processId;
  win32Calls.GetCurrentProcessId = FakeProcessId;
  std::string text;
  for (const std::string& line : c.lines) text += line + "\n";
  ASSERT_EQ(text.size(), c.textLength);
  std::vector<uint8_t> expected = Sha256(std::vector<uint8_t>(text.begin(), text.end()));
  ASSERT_EQ(expected.size(), 32u);

  uint8_t digest[32] = {};
  ASSERT_TRUE(HashHardCheatEvidence(c.violation, c.name, c.accessMask, digest));
  EXPECT_EQ(ToHex(digest, 32), ToHex(expected.data(), 32)) << text;
}

INSTANTIATE_TEST_SUITE_P(Table, EvidenceDigest, testing::ValuesIn(kEvidenceCases),
                         [](const testing::TestParamInfo<EvidenceCase>& i) { return std::string(i.param.label); });

TEST(EvidenceDigest, RefusesWhatCannotNameAFinding) {
  uint8_t digest[32];
  std::memset(digest, 0x77, sizeof(digest));
  struct {
    const char* label;
    uint16_t violation;
    const wchar_t* name;
  } refused[] = {
      {"violation_0", 0, L"active-debugger"}, {"violation_4", 4, L"active-debugger"}, {"null_name", 1, nullptr},
      {"empty_name", 1, L""},                 {"only_separators", 1, L"--"},
  };
  for (const auto& r : refused) {
    EXPECT_FALSE(HashHardCheatEvidence(r.violation, r.name, 0, digest)) << r.label;
    EXPECT_EQ(digest[0], 0x77) << r.label << ": output untouched";
  }
  EXPECT_FALSE(HashHardCheatEvidence(1, L"active-debugger", 0, nullptr));
}

TEST(EvidenceDigest, FailsWhenTheDigestCannotBeMade) {
  win32Calls.CryptCreateHash = FailHashCreation;
  uint8_t digest[32] = {};
  EXPECT_FALSE(HashHardCheatEvidence(1, L"active-debugger", 0, digest));
}
}  // namespace
