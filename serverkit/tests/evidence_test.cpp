#include <gtest/gtest.h>

#include "evidence.h"
#include "test_support.h"

namespace zarnel::serverkit {
namespace {

TEST(NormaliseEvidenceName, KeepsFoldsAndCollapsesSeparators) {
  struct Case {
    std::string name;
    std::string expected;  // empty: normalisation fails
  };
  const Case cases[] = {
      {"active-debugger", "active-debugger"},
      {"AC-HARD-001", "ac-hard-001"},
      {"Foo  Bar.exe", "foo-bar.exe"},
      {"  lead and trail  ", "lead-and-trail"},
      {"-_.x", "_.x"},
      {"a - b", "a-b"},
      {"caf\xc3\xa9 tool", "caf-tool"},         // é and the space form one run
      {"\xe2\x82\xac" "cheat", "cheat"},        // leading non-ASCII vanishes
      {"x\xf0\x9f\x98\x80y", "x-y"},            // a surrogate pair in UTF-16
      {std::string("ab\0cd", 5), "ab"},         // the guard stops at the terminator
      {"--", ""},
      {"   ", ""},
      {"", ""},
      {std::string(95, 'a'), std::string(95, 'a')},
      {std::string(96, 'a'), ""},
      {std::string(93, 'a') + " b", std::string(93, 'a') + "-b"},
      {std::string(94, 'a') + " b", ""},   // the separator counts toward 95
      {std::string(95, 'a') + "  ", std::string(95, 'a')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string normalised;
    EXPECT_EQ(NormaliseEvidenceName(c.name, normalised), !c.expected.empty());
    EXPECT_EQ(normalised, c.expected);
  }
}

TEST(EvidenceText, DebuggerExampleIsTheExact89ByteText) {
  const std::string literal =
      "ZARNEL-GUARD-EVIDENCE-V1\n"
      "violation=1\n"
      "name=active-debugger\n"
      "target-pid=700\n"
      "access=00000000\n";
  ASSERT_EQ(literal.size(), 89u);
  const EvidenceClaim claim{1, "active-debugger", 700, 0};

  std::string text;
  ASSERT_TRUE(FormatEvidenceText(claim, text).ok());
  EXPECT_EQ(text, literal);

  Bytes digest;
  ASSERT_TRUE(ComputeEvidenceDigest(claim, digest).ok());
  EXPECT_EQ(digest, testing::Sha256Of(literal));
}

TEST(EvidenceText, FormatsEachFieldAsTheGuardDoes) {
  struct Case {
    EvidenceClaim claim;
    std::string expected;
  };
  const Case cases[] = {
      {{3, "AC-PROC-017", 4294967295u, 0x001FFFFF},
       "ZARNEL-GUARD-EVIDENCE-V1\nviolation=3\nname=ac-proc-017\n"
       "target-pid=4294967295\naccess=001FFFFF\n"},
      {{2, "Foo  Bar.exe", 0, 0xDEADBEEF},
       "ZARNEL-GUARD-EVIDENCE-V1\nviolation=2\nname=foo-bar.exe\n"
       "target-pid=0\naccess=DEADBEEF\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.claim.name);
    std::string text;
    ASSERT_TRUE(FormatEvidenceText(c.claim, text).ok());
    EXPECT_EQ(text, c.expected);
    Bytes digest;
    ASSERT_TRUE(ComputeEvidenceDigest(c.claim, digest).ok());
    EXPECT_EQ(digest, testing::Sha256Of(c.expected));
  }
}

TEST(EvidenceText, RefusesWhatTheGuardRefuses) {
  struct Case {
    EvidenceClaim claim;
    Check expected;
  };
  const Case cases[] = {
      {{0, "active-debugger", 1, 0}, Check::kViolationOutOfRange},
      {{4, "active-debugger", 1, 0}, Check::kViolationOutOfRange},
      {{65537, "active-debugger", 1, 0}, Check::kViolationOutOfRange},
      {{1, "--", 1, 0}, Check::kEvidenceInvalid},
      {{1, "", 1, 0}, Check::kEvidenceInvalid},
      {{3, std::string(96, 'x'), 1, 0}, Check::kEvidenceInvalid},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.claim.violation) + " " + c.claim.name);
    Bytes digest;
    EXPECT_EQ(ComputeEvidenceDigest(c.claim, digest).check, c.expected);
    EXPECT_TRUE(digest.empty());
  }
}

}  // namespace
}  // namespace zarnel::serverkit
