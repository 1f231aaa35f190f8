// The hard-cheat exchange driven through its exports: challenges, confirmed
// detections and the signed report, with the record and the report laid out
// here byte by byte and the signature checked by bcrypt over the rebuilt
// record, as the server does.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hard_cheat_fixture.h"
#include "proofs/hard_cheat_texts.h"

namespace {
using namespace hard_cheat_test;

const wchar_t kRejected[] = L"ZarnelGuard rejected an invalid hard-cheat challenge.";
const wchar_t kCannotSign[] = L"ZarnelGuard could not sign its hard-cheat report.";
const wchar_t kSentinel[] = L"sentinel text";

void Append(std::vector<uint8_t>& to, const uint8_t* bytes, size_t length) { to.insert(to.end(), bytes, bytes + length); }

std::vector<uint8_t> DevicePublicKey() {
  std::vector<uint8_t> key(72);
  ULONG size = 0;
  if (BCryptExportKey(TestKey(), nullptr, BCRYPT_ECCPUBLIC_BLOB, key.data(), 72, &size, 0) != 0 || size != 72)
    key.clear();
  return key;
}

std::vector<uint8_t> Evidence(uint16_t violation, const wchar_t* name, uint32_t access) {
  std::vector<uint8_t> digest(32);
  if (!HashHardCheatEvidence(violation, name, access, digest.data())) digest.clear();
  return digest;
}

std::vector<uint8_t> SeededId(uint8_t seed) {
  std::vector<uint8_t> id(16);
  for (int i = 0; i < 16; ++i) id[i] = static_cast<uint8_t>(seed + i);
  return id;
}

// What the server rebuilds from the report and the challenge it issued.
std::vector<uint8_t> ExpectedRecord(const Challenge& c, uint8_t kind, uint16_t violation,
                                    const std::vector<uint8_t>& reportId, const std::vector<uint8_t>& evidence) {
  std::vector<uint8_t> r;
  const char magic[] = "ZARNEL-GUARD-HARD-CHEAT-V1";
  Append(r, reinterpret_cast<const uint8_t*>(magic), 26);
  r.push_back(0x00);
  r.push_back(0x01);
  for (int shift : {24, 16, 8, 0}) r.push_back(static_cast<uint8_t>(c.build >> shift));
  for (uint8_t b : {0x00, 0x00, 0x00, 0x3E}) r.push_back(b);
  r.push_back(kind);
  r.push_back(static_cast<uint8_t>(violation >> 8));
  r.push_back(static_cast<uint8_t>(violation));
  Append(r, reportId.data(), 16);
  Append(r, c.id, 16);
  Append(r, c.nonce, 32);
  Append(r, evidence.data(), 32);
  std::vector<uint8_t> key = DevicePublicKey();
  Append(r, key.data(), key.size());
  return r;
}

std::vector<uint8_t> ExpectedReport(const Challenge& c, uint8_t kind, uint16_t violation,
                                    const std::vector<uint8_t>& reportId, const std::vector<uint8_t>& evidence,
                                    const uint8_t* signature) {
  std::vector<uint8_t> r = {0x01, 0x00, 0x3E, 0x00, 0x00, 0x00, kind};
  r.push_back(static_cast<uint8_t>(violation));
  r.push_back(static_cast<uint8_t>(violation >> 8));
  Append(r, reportId.data(), 16);
  Append(r, c.id, 16);
  Append(r, c.nonce, 32);
  Append(r, evidence.data(), 32);
  std::vector<uint8_t> key = DevicePublicKey();
  Append(r, key.data(), key.size());
  Append(r, signature, 64);
  return r;
}

// The report must be exactly the expected layout, and its signature must
// verify over the record rebuilt here.
void ExpectSignedReport(const std::vector<uint8_t>& report, const Challenge& c, uint8_t kind, uint16_t violation,
                        const std::vector<uint8_t>& reportId, const std::vector<uint8_t>& evidence) {
  ASSERT_EQ(report.size(), 241u);
  const uint8_t* signature = report.data() + 177;
  EXPECT_EQ(ToHex(report.data(), 241), ToHex(ExpectedReport(c, kind, violation, reportId, evidence, signature).data(), 241));
  std::vector<uint8_t> record = ExpectedRecord(c, kind, violation, reportId, evidence);
  ASSERT_EQ(record.size(), 207u);
  EXPECT_TRUE(VerifySignature(report.data() + 105, record, signature)) << "signature over the rebuilt record";
}

class HardCheatExchange : public HardCheatTest {};

TEST_F(HardCheatExchange, TakeHandsOutNothingBeforeAReportIsReady) {
  std::vector<uint8_t> buffer(241, 0xEE);
  uint32_t size = 77;
  EXPECT_EQ(ZarnelGuardTakeHardCheatReport(buffer.data(), 241, nullptr), 0u);
  EXPECT_EQ(ZarnelGuardTakeHardCheatReport(buffer.data(), 241, &size), 0u);
  EXPECT_EQ(size, 0u);

  Challenge c;
  ASSERT_EQ(c.Set(), 1u);
  size = 77;
  EXPECT_EQ(ZarnelGuardTakeHardCheatReport(buffer.data(), 241, &size), 0u) << "a challenge alone makes no report";
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(buffer[0], 0xEE);
}

TEST_F(HardCheatExchange, DetectionBeforeTheChallengeIsReportedOnceTheChallengeArrives) {
  ASSERT_TRUE(ConfirmDebugger());
  EXPECT_TRUE(TakeReport().empty()) << "detection waiting for a challenge";
  EXPECT_EQ(State().ackClockStart, 0u) << "no challenge, no clock";

  ClockNow() = 123456;
  Challenge c;
  ASSERT_EQ(c.Set(), 1u);
  std::vector<uint8_t> report = TakeReport();
  ASSERT_EQ(report.size(), 241u);
  EXPECT_EQ(ToHex(report.data(), 6), "01003e000000");
  ExpectSignedReport(report, c, 2, 1, SeededId(0xA0), Evidence(1, L"active-debugger", 0));
  EXPECT_EQ(State().ackClockStart, 123456u);

  wcscpy(guard.lastErrorText, kSentinel);
  EXPECT_EQ(TakeReport(), report) << "the report stays and can be taken again";
  EXPECT_STREQ(guard.lastErrorText, kSentinel) << "Take writes no message";
}

TEST_F(HardCheatExchange, DetectionWhileAChallengeIsHeldSignsAtOnceAndStartsTheClock) {
  Challenge c(0x33);
  c.build = 1;
  ASSERT_EQ(c.Set(), 1u);
  ClockNow() = 5000;
  ASSERT_TRUE(ConfirmHardCheatDetection(3, L"AC-PROC-042", 0x1F0FFF, L"AC-PROC-042", L"program message"));
  EXPECT_EQ(State().ackClockStart, 5000u);
  std::vector<uint8_t> report = TakeReport();
  ExpectSignedReport(report, c, 2, 3, SeededId(0xA0), Evidence(3, L"AC-PROC-042", 0x1F0FFF));
  // Violation 3: little-endian in the report, big-endian in the signed record.
  ASSERT_EQ(report.size(), 241u);
  EXPECT_EQ(ToHex(report.data() + 7, 2), "0300");
  EXPECT_EQ(ToHex(ExpectedRecord(c, 2, 3, SeededId(0xA0), Evidence(3, L"AC-PROC-042", 0x1F0FFF)).data() + 37, 2),
            "0003");
}

TEST_F(HardCheatExchange, ThePlatformKeyKindIsCarriedInRecordAndReport) {
  ASSERT_TRUE(PublishTestDeviceKey(kDeviceKeyKindPlatform));
  Challenge c;
  ASSERT_EQ(c.Set(), 1u);
  ASSERT_TRUE(ConfirmDebugger());
  ExpectSignedReport(TakeReport(), c, 1, 1, SeededId(0xA0), Evidence(1, L"active-debugger", 0));
}

TEST_F(HardCheatExchange, ASecondDetectionChangesNothing) {
  ASSERT_TRUE(ConfirmDebugger());
  Challenge c;
  ASSERT_EQ(c.Set(), 1u);
  std::vector<uint8_t> before = StateBytes();
  ReportIdSeed() = 0x51;
  ClockNow() += 1000;
  EXPECT_TRUE(ConfirmHardCheatDetection(3, L"AC-PROC-042", 0x1F0FFF, L"AC-PROC-042", L"another message"))
      << "true: a detection is recorded, the first one";
  EXPECT_EQ(StateBytes(), before);
}

TEST_F(HardCheatExchange, ANewChallengeRebuildsTheReportWithTheSameIdAndTheSameClock) {
  ASSERT_TRUE(ConfirmDebugger());
  ClockNow() = 1000;
  Challenge first(0x10);
  ASSERT_EQ(first.Set(), 1u);
  std::vector<uint8_t> firstReport = TakeReport();

  ClockNow() = 6000;
  Challenge second(0x70);
  second.build = 17;
  ASSERT_EQ(second.Set(), 1u);
  EXPECT_EQ(State().ackClockStart, 1000u) << "a later challenge buys no time";
  std::vector<uint8_t> report = TakeReport();
  ExpectSignedReport(report, second, 2, 1, SeededId(0xA0), Evidence(1, L"active-debugger", 0));
  EXPECT_NE(report, firstReport);
}

TEST_F(HardCheatExchange, ClearForgetsTheChallengeButKeepsTheDetectionAndTheClock) {
  ASSERT_TRUE(ConfirmDebugger());
  ClockNow() = 2000;
  Challenge c;
  ASSERT_EQ(c.Set(), 1u);
  HardCheatState before = State();

  ZarnelGuardClearHardCheatChallenge();
  EXPECT_TRUE(TakeReport().empty());
  EXPECT_EQ(State().challengePresent, 0);
  EXPECT_EQ(State().reportReady, 0);
  EXPECT_EQ(State().challengeBuild, 0u);
  EXPECT_EQ(ToHex(State().challengeId, 16), std::string(32, '0'));
  EXPECT_EQ(ToHex(State().challengeNonce, 32), std::string(64, '0'));
  EXPECT_EQ(ToHex(State().report, 241), std::string(482, '0'));
  EXPECT_EQ(State().detectionConfirmed, 1);
  EXPECT_EQ(State().violation, before.violation);
  EXPECT_EQ(State().ackClockStart, 2000u);
  EXPECT_EQ(ToHex(State().reportId, 16), ToHex(before.reportId, 16));
  EXPECT_EQ(ToHex(State().evidenceDigest, 32), ToHex(before.evidenceDigest, 32));
  EXPECT_STREQ(State().codeText, before.codeText);
  EXPECT_STREQ(State().messageText, before.messageText);

  ClockNow() = 4000;
  Challenge again(0x44);
  ASSERT_EQ(again.Set(), 1u);
  EXPECT_EQ(State().ackClockStart, 2000u) << "the running clock is not restarted";
  ExpectSignedReport(TakeReport(), again, 2, 1, SeededId(0xA0), Evidence(1, L"active-debugger", 0));
}

TEST_F(HardCheatExchange, ClearWithoutADetectionReturnsToIdle) {
  Challenge c;
  ASSERT_EQ(c.Set(), 1u);
  ZarnelGuardClearHardCheatChallenge();
  EXPECT_EQ(StateBytes(), std::vector<uint8_t>(sizeof(HardCheatState), 0));
}

struct ChallengeCase {
  const char* label;
  void (*mutate)(Challenge&, const uint8_t*&, const uint8_t*&);
  bool valid;
};
void PrintTo(const ChallengeCase& c, std::ostream* os) { *os << c.label; }

const uint8_t kZeroBytes[32] = {};

const ChallengeCase kChallengeCases[] = {
    {"as_issued", [](Challenge&, const uint8_t*&, const uint8_t*&) {}, true},
    {"version_0", [](Challenge& c, const uint8_t*&, const uint8_t*&) { c.version = 0; }, false},
    {"version_2", [](Challenge& c, const uint8_t*&, const uint8_t*&) { c.version = 2; }, false},
    {"build_0", [](Challenge& c, const uint8_t*&, const uint8_t*&) { c.build = 0; }, false},
    {"build_1", [](Challenge& c, const uint8_t*&, const uint8_t*&) { c.build = 1; }, true},
    {"build_62", [](Challenge& c, const uint8_t*&, const uint8_t*&) { c.build = 62; }, true},
    {"build_63", [](Challenge& c, const uint8_t*&, const uint8_t*&) { c.build = 63; }, false},
    {"null_id", [](Challenge&, const uint8_t*& id, const uint8_t*&) { id = nullptr; }, false},
    {"all_zero_id", [](Challenge&, const uint8_t*& id, const uint8_t*&) { id = kZeroBytes; }, false},
    {"id_last_byte_only", [](Challenge& c, const uint8_t*&, const uint8_t*&) {
       std::memset(c.id, 0, 16);
       c.id[15] = 1;
     }, true},
    {"null_nonce", [](Challenge&, const uint8_t*&, const uint8_t*& nonce) { nonce = nullptr; }, false},
    {"all_zero_nonce", [](Challenge&, const uint8_t*&, const uint8_t*& nonce) { nonce = kZeroBytes; }, false},
};

class HardCheatChallengeValidation : public HardCheatTest, public testing::WithParamInterface<ChallengeCase> {};

// From "report ready", an invalid challenge must leave every byte of the
// state as it was; a valid one replaces the challenge.
TEST_P(HardCheatChallengeValidation, InvalidChallengesLeaveTheStateUnchanged) {
  ASSERT_TRUE(ConfirmDebugger());
  Challenge held(0x90);
  ASSERT_EQ(held.Set(), 1u);
  std::vector<uint8_t> before = StateBytes();
  wcscpy(guard.lastErrorText, kSentinel);

  Challenge c(0x20);
  const uint8_t* id = c.id;
  const uint8_t* nonce = c.nonce;
  GetParam().mutate(c, id, nonce);
  uint32_t result = ZarnelGuardSetHardCheatChallenge(c.version, c.build, id, nonce);
  if (!GetParam().valid) {
    EXPECT_EQ(result, 0u);
    EXPECT_STREQ(guard.lastErrorText, kRejected);
    EXPECT_EQ(StateBytes(), before);
    return;
  }
  EXPECT_EQ(result, 1u);
  EXPECT_STREQ(guard.lastErrorText, kSentinel);
  EXPECT_EQ(State().challengeBuild, c.build);
  ExpectSignedReport(TakeReport(), c, 2, 1, SeededId(0xA0), Evidence(1, L"active-debugger", 0));
}

INSTANTIATE_TEST_SUITE_P(Table, HardCheatChallengeValidation, testing::ValuesIn(kChallengeCases),
                         [](const testing::TestParamInfo<ChallengeCase>& i) { return std::string(i.param.label); });

TEST_F(HardCheatExchange, TakeRefusesABufferTooSmallOrMissing) {
  ASSERT_TRUE(ConfirmDebugger());
  Challenge c;
  ASSERT_EQ(c.Set(), 1u);
  std::vector<uint8_t> buffer(241, 0xEE);
  uint32_t size = 5;
  EXPECT_EQ(ZarnelGuardTakeHardCheatReport(buffer.data(), 240, &size), 0u);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(buffer[0], 0xEE);
  size = 5;
  EXPECT_EQ(ZarnelGuardTakeHardCheatReport(nullptr, 241, &size), 0u);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(ZarnelGuardTakeHardCheatReport(buffer.data(), 241, &size), 1u);
  EXPECT_EQ(size, 241u);
}

// ---- signing failures ----
SECURITY_STATUS WINAPI ExportFails(NCRYPT_KEY_HANDLE, NCRYPT_KEY_HANDLE, LPCWSTR, NCryptBufferDesc*, PBYTE, DWORD,
                                   DWORD* size, DWORD) {
  *size = 0;
  return NTE_FAIL;
}
SECURITY_STATUS WINAPI SignsZeros(NCRYPT_KEY_HANDLE, VOID*, PBYTE, DWORD, PBYTE signature, DWORD size, DWORD* result,
                                  DWORD) {
  std::memset(signature, 0, size);
  *result = 64;
  return ERROR_SUCCESS;
}

struct SigningFault {
  const char* label;
  void (*inject)();
};
void PrintTo(const SigningFault& c, std::ostream* os) { *os << c.label; }
const SigningFault kSigningFaults[] = {
    {"sign_fails", [] { win32Calls.NCryptSignHash = FailSigning; }},
    {"signature_all_zero", [] { win32Calls.NCryptSignHash = SignsZeros; }},
    {"export_fails", [] { win32Calls.NCryptExportKey = ExportFails; }},
    {"no_device_key", [] {
       guard.deviceKey = 0;
       guard.deviceKeyProvider = 0;
       guard.deviceKeyKind = 0;
     }},
};

class HardCheatSigningFailure : public HardCheatTest, public testing::WithParamInterface<SigningFault> {};

TEST_P(HardCheatSigningFailure, ADetectionWaitingGetsAnUnsignedChallengeAndARunningClock) {
  ASSERT_TRUE(ConfirmDebugger());
  GetParam().inject();
  ClockNow() = 777;
  Challenge c;
  EXPECT_EQ(c.Set(), 0u);
  EXPECT_STREQ(guard.lastErrorText, kCannotSign);
  EXPECT_EQ(State().challengePresent, 1) << "the challenge stays held without a report";
  EXPECT_EQ(State().reportReady, 0);
  EXPECT_EQ(ToHex(State().report, 241), std::string(482, '0'));
  EXPECT_EQ(State().ackClockStart, 777u) << "the deadline runs even without a report";
  EXPECT_TRUE(TakeReport().empty());
}

TEST_P(HardCheatSigningFailure, ADetectionThatCannotBeSignedIsNotRecorded) {
  Challenge c;
  ASSERT_EQ(c.Set(), 1u);
  std::vector<uint8_t> before = StateBytes();
  GetParam().inject();
  EXPECT_FALSE(ConfirmDebugger());
  EXPECT_STREQ(guard.lastErrorText, kCannotSign);
  EXPECT_EQ(StateBytes(), before) << "challenge held, detection discarded, every field as before";
}

TEST_P(HardCheatSigningFailure, AFailedNewChallengeDropsTheEarlierReport) {
  ASSERT_TRUE(ConfirmDebugger());
  Challenge first;
  ASSERT_EQ(first.Set(), 1u);
  ASSERT_FALSE(TakeReport().empty());
  GetParam().inject();
  Challenge second(0x60);
  EXPECT_EQ(second.Set(), 0u);
  EXPECT_TRUE(TakeReport().empty()) << "no report for a challenge that is no longer held";
  EXPECT_EQ(ToHex(State().challengeId, 16), ToHex(second.id, 16));
}

INSTANTIATE_TEST_SUITE_P(Faults, HardCheatSigningFailure, testing::ValuesIn(kSigningFaults),
                         [](const testing::TestParamInfo<SigningFault>& i) { return std::string(i.param.label); });

// ---- recording failures ----
NTSTATUS WINAPI RandomFails(BCRYPT_ALG_HANDLE, PUCHAR, ULONG, ULONG) { return static_cast<NTSTATUS>(0xC0000001); }
NTSTATUS WINAPI RandomAllZero(BCRYPT_ALG_HANDLE, PUCHAR buffer, ULONG size, ULONG) {
  std::memset(buffer, 0, size);
  return 0;
}
int randomDraws;
NTSTATUS WINAPI CountingRandom(BCRYPT_ALG_HANDLE a, PUCHAR buffer, ULONG size, ULONG flags) {
  ++randomDraws;
  return PredictableRandom(a, buffer, size, flags);
}

TEST_F(HardCheatExchange, ADetectionWithoutAUsableReportIdIsNotRecorded) {
  for (auto random : {RandomFails, RandomAllZero}) {
    win32Calls.BCryptGenRandom = random;
    EXPECT_FALSE(ConfirmDebugger());
    EXPECT_EQ(StateBytes(), std::vector<uint8_t>(sizeof(HardCheatState), 0));
  }
}

TEST_F(HardCheatExchange, ANameWithoutEvidenceIsRefusedBeforeAnythingIsDrawn) {
  randomDraws = 0;
  win32Calls.BCryptGenRandom = CountingRandom;
  EXPECT_FALSE(ConfirmHardCheatDetection(1, L"--", 0, nullptr, nullptr));
  EXPECT_FALSE(ConfirmHardCheatDetection(4, L"active-debugger", 0, nullptr, nullptr));
  EXPECT_EQ(randomDraws, 0);
  EXPECT_FALSE(IsHardCheatDetectionPending());
  EXPECT_EQ(StateBytes(), std::vector<uint8_t>(sizeof(HardCheatState), 0));
}

TEST_F(HardCheatExchange, TheEndTextsHaveDefaults) {
  ASSERT_TRUE(ConfirmHardCheatDetection(1, L"active-debugger", 0, nullptr, L""));
  EXPECT_STREQ(State().codeText, L"AC-HARD-001");
  EXPECT_STREQ(State().messageText, kDefaultHardCheatMessage);
  EXPECT_TRUE(IsHardCheatDetectionPending());
}

TEST_F(HardCheatExchange, TheEndTextsAreCutToTheirBuffers) {
  std::wstring longCode(40, L'C');
  std::wstring longMessage(500, L'm');
  ASSERT_TRUE(ConfirmHardCheatDetection(1, L"active-debugger", 0, longCode.c_str(), longMessage.c_str()));
  EXPECT_EQ(std::wstring(State().codeText), longCode.substr(0, 31));
  EXPECT_EQ(std::wstring(State().messageText), longMessage.substr(0, 383));
}

FARPROC WINAPI NoSuchProcedure(HMODULE, LPCSTR) {
  SetLastError(ERROR_PROC_NOT_FOUND);
  return nullptr;
}
DWORD WINAPI NoModuleName(HMODULE, LPWSTR, DWORD) {
  SetLastError(ERROR_INVALID_HANDLE);
  return 0;
}

// The start-up runs first, and its failure is the result.
TEST(HardCheatChallengeStart, AFailedStartUpReturns0WithItsMessageAndHoldsNothing) {
  win32Calls.GetProcAddress = NoSuchProcedure;  // no process hardening in the test program
  win32Calls.GetModuleFileNameW = NoModuleName;
  Challenge c;
  EXPECT_EQ(c.Set(), 0u);
  EXPECT_STREQ(guard.lastErrorText, L"ZarnelGuard could not resolve the client directory.");
  EXPECT_EQ(guard.hardCheat.challengePresent, 0);
}
}  // namespace
