// How the exchange ends: the server's acknowledgement, or the 8-second
// acknowledgement clock. The fatal exit runs as in the client but ends in a
// caught exception, with the helper's violation code read off its command
// line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "checks/finding_texts.h"
#include "hard_cheat_fixture.h"
#include "proofs/hard_cheat_texts.h"

namespace {
using namespace hard_cheat_test;


class HardCheatAcknowledgement : public HardCheatTest {
 protected:
  void SetUp() override {
    HardCheatTest::SetUp();
    CatchFatalExit();
  }
  // The process end that Acknowledge takes, or exit code 0 when it returned.
  static UINT AcknowledgeAndCatch(const uint8_t* reportId, uint8_t accepted, uint32_t* result = nullptr) {
    try {
      uint32_t returned = ZarnelGuardAcknowledgeHardCheatReport(reportId, accepted);
      if (result) *result = returned;
    } catch (const ProcessEnded& ended) {
      return ended.exitCode;
    }
    return 0;
  }
  static std::vector<uint8_t> ReportId() {
    return std::vector<uint8_t>(guard.hardCheat.reportId, guard.hardCheat.reportId + 16);
  }
};

struct VerdictCase {
  const char* label;
  uint8_t accepted;
  bool clearFirst;
  bool challengeEver;
  std::wstring suffix;
};
void PrintTo(const VerdictCase& c, std::ostream* os) { *os << c.label; }

const VerdictCase kVerdicts[] = {
    {"accepted", 1, false, true, L""},
    {"rejected", 0, false, true, kReportRejectedSuffix},
    {"accepted_after_clear", 1, true, true, L""},
    {"rejected_after_clear", 0, true, true, kReportRejectedSuffix},
    {"accepted_without_any_challenge", 1, false, false, L""},
};

class HardCheatVerdict : public HardCheatAcknowledgement, public testing::WithParamInterface<VerdictCase> {};

TEST_P(HardCheatVerdict, TheMatchingIdentifierEndsTheClientWithTheRecordedTexts) {
  const VerdictCase& v = GetParam();
  ASSERT_TRUE(ConfirmDebugger());
  if (v.challengeEver) {
    ASSERT_EQ(Challenge().Set(), 1u);
  }
  if (v.clearFirst) ZarnelGuardClearHardCheatChallenge();
  std::vector<uint8_t> id = ReportId();

  EXPECT_EQ(AcknowledgeAndCatch(id.data(), v.accepted), 13u);
  EXPECT_EQ(HelperLaunches(), 1);
  EXPECT_EQ(HelperCode(), L"AC-DEBUG-001");
  EXPECT_EQ(std::wstring(guard.lastErrorText), kDebuggerMessage + v.suffix);
}

INSTANTIATE_TEST_SUITE_P(Table, HardCheatVerdict, testing::ValuesIn(kVerdicts),
                         [](const testing::TestParamInfo<VerdictCase>& i) { return std::string(i.param.label); });

TEST_F(HardCheatAcknowledgement, AnythingButTheRecordedIdentifierAndAVerdictReturns0AndChangesNothing) {
  const uint8_t zeros[16] = {};
  uint32_t result = 99;
  wcscpy(guard.lastErrorText, L"sentinel");
  EXPECT_EQ(AcknowledgeAndCatch(zeros, 1, &result), 0u) << "no detection: a zeroed identifier must not match";
  EXPECT_EQ(result, 0u);

  ASSERT_TRUE(ConfirmDebugger());
  ASSERT_EQ(Challenge().Set(), 1u);
  std::vector<uint8_t> before = StateBytes();
  std::vector<uint8_t> id = ReportId();
  std::vector<uint8_t> wrong = id;
  wrong[15] ^= 0x01;
  struct {
    const char* label;
    const uint8_t* id;
    uint8_t accepted;
  } refused[] = {
      {"wrong_last_byte", wrong.data(), 1},
      {"accepted_2", id.data(), 2},
      {"accepted_255", id.data(), 255},
      {"null_identifier", nullptr, 1},
  };
  for (const auto& r : refused) {
    result = 99;
    EXPECT_EQ(AcknowledgeAndCatch(r.id, r.accepted, &result), 0u) << r.label;
    EXPECT_EQ(result, 0u) << r.label;
    EXPECT_EQ(StateBytes(), before) << r.label;
  }
  EXPECT_EQ(HelperLaunches(), 0);
  EXPECT_STREQ(guard.lastErrorText, L"sentinel") << "no message on any refusal";
}

TEST_F(HardCheatAcknowledgement, ARejectionOfAFullMessageLosesTheSuffix) {
  std::wstring message(383, L'r');
  ASSERT_TRUE(ConfirmHardCheatDetection(1, L"active-debugger", 0, L"AC-DEBUG-001", message.c_str()));
  std::vector<uint8_t> id = ReportId();
  EXPECT_EQ(AcknowledgeAndCatch(id.data(), 0), 13u);
  EXPECT_EQ(std::wstring(guard.lastErrorText), message);
}

// ---- the acknowledgement clock ----
class HardCheatClock : public HardCheatTest {
 protected:
  static bool Overdue(std::wstring& code, std::wstring& message) {
    wchar_t codeBuffer[kHardCheatCodeCapacity];
    wchar_t messageBuffer[kHardCheatMessageCapacity];
    if (!TakeOverdueAcknowledgement(codeBuffer, messageBuffer)) return false;
    code = codeBuffer;
    message = messageBuffer;
    return true;
  }
};

TEST_F(HardCheatClock, IsOverdueFrom8000MillisecondsAfterTheChallengeMetTheDetection) {
  std::wstring code, message;
  ClockNow() = 50000;
  ASSERT_TRUE(ConfirmDebugger());
  ClockNow() = 500000;
  EXPECT_FALSE(Overdue(code, message)) << "no challenge: no clock, however long it waits";

  ClockNow() = 600000;
  ASSERT_EQ(Challenge().Set(), 1u);
  ClockNow() = 607999;
  EXPECT_FALSE(Overdue(code, message));
  ClockNow() = 608000;
  ASSERT_TRUE(Overdue(code, message));
  EXPECT_EQ(code, L"AC-DEBUG-001");
  EXPECT_EQ(message, std::wstring(kDebuggerMessage) + kAcknowledgementTimedOutSuffix);
}

TEST_F(HardCheatClock, ClearingTheChallengeDoesNotStopIt) {
  std::wstring code, message;
  ClockNow() = 1000;
  ASSERT_EQ(Challenge().Set(), 1u);
  ASSERT_TRUE(ConfirmDebugger());
  ZarnelGuardClearHardCheatChallenge();
  ClockNow() = 9000;
  EXPECT_TRUE(Overdue(code, message));
}

TEST_F(HardCheatClock, AClockStartedAtTickZeroStillRuns) {
  std::wstring code, message;
  ASSERT_TRUE(ConfirmDebugger());
  ClockNow() = 0;
  ASSERT_EQ(Challenge().Set(), 1u);
  EXPECT_NE(State().ackClockStart, 0u) << "0 would read as a stopped clock";
  ClockNow() = 8001;
  EXPECT_TRUE(Overdue(code, message));
}

TEST_F(HardCheatClock, AFullMessageLosesTheTimeOutSuffix) {
  std::wstring code, message;
  std::wstring full(383, L'x');
  std::wstring longCode(31, L'K');
  ASSERT_TRUE(ConfirmHardCheatDetection(1, L"active-debugger", 0, longCode.c_str(), full.c_str()));
  ASSERT_EQ(Challenge().Set(), 1u);
  ClockNow() += 8000;
  ASSERT_TRUE(Overdue(code, message));
  EXPECT_EQ(message, full);
  EXPECT_EQ(code, longCode);
}

TEST_F(HardCheatClock, AMessageOneShortOfFullKeepsOnlyTheSpace) {
  std::wstring code, message;
  std::wstring roomForOneMore(382, L'y');
  ASSERT_TRUE(ConfirmHardCheatDetection(1, L"active-debugger", 0, nullptr, roomForOneMore.c_str()));
  ASSERT_EQ(Challenge().Set(), 1u);
  ClockNow() += 8000;
  ASSERT_TRUE(Overdue(code, message));
  EXPECT_EQ(message, roomForOneMore + L" ") << "cut after the 383rd unit";
  EXPECT_EQ(code, L"AC-HARD-001");
}
}  // namespace
