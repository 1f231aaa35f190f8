// The last-error text: its starting message and the 767-character cut.
#include <gtest/gtest.h>

#include <string>

#include "ZarnelGuard.h"
#include "test_support.h"

TEST(LastErrorText, StartsWithTheInitialisationMessage) {
  EXPECT_STREQ(ZarnelGuardGetLastError(), L"ZarnelGuard initialization failed.");
  EXPECT_EQ(ZarnelGuardGetLastError(), guard.lastErrorText);
}

TEST(LastErrorText, KeepsExactlyTheFirst767Characters) {
  struct {
    size_t length;
    size_t kept;
  } cases[] = {{766, 766}, {767, 767}, {768, 767}, {800, 767}, {5000, 767}};
  for (const auto& c : cases) {
    std::wstring message;
    for (size_t i = 0; i < c.length; ++i) message += static_cast<wchar_t>(L'a' + i % 26);
    wmemset(guard.lastErrorText, L'#', kLastErrorTextCapacity);  // no stale terminator to lean on
    SetLastErrorText(L"%ls", message.c_str());
    EXPECT_EQ(std::wstring(guard.lastErrorText), message.substr(0, c.kept)) << c.length;
  }
}

TEST(LastErrorText, FormatsWideTextsAndDecimalErrors) {
  SetLastErrorText(L"ZarnelGuard could not create its single-client marker: %ls (Windows error %lu)", L"Global\\x",
                   4294967295ul);
  EXPECT_STREQ(guard.lastErrorText, L"ZarnelGuard could not create its single-client marker: Global\\x (Windows error 4294967295)");
}

TEST(LastErrorText, AMessageMadeOfTheTextItselfStaysIntact) {
  SetLastErrorText(L"first message");
  SetLastErrorText(L"%ls", guard.lastErrorText);
  EXPECT_STREQ(guard.lastErrorText, L"first message");
}

TEST(ClientBuild, IsAlways62) { EXPECT_EQ(ZarnelGuardGetClientBuild(), 62); }
