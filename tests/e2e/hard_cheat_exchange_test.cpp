// The hard-cheat exchange through the shipped DLL, watched from outside: a
// real debugger attaches to the client (before or after its start), or a
// blocked program opens it for memory access; the finding is recorded
// instead of ending the client, the client takes the signed report for the
// server's challenge, and the server's verdict (or its absence) ends the
// client with exit code 13 and the error helper started with the finding's
// code. hard_cheat_host plays the client.
#include <gtest/gtest.h>
#include <windows.h>
#include <bcrypt.h>

#include <cstring>
#include <string>
#include <vector>

#include "process_runner.h"
#include "sample_client_copy.h"

namespace {
using Bytes = std::vector<uint8_t>;

Bytes Unhex(const std::string& hex) {
  Bytes bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return bytes;
}

Bytes Sha256(const Bytes& data) {
  Bytes digest(32);
  BCRYPT_ALG_HANDLE sha = nullptr;
  bool ok = BCryptOpenAlgorithmProvider(&sha, BCRYPT_SHA256_ALGORITHM, nullptr, 0) == 0 &&
            BCryptHash(sha, nullptr, 0, const_cast<uint8_t*>(data.data()), static_cast<ULONG>(data.size()),
                       digest.data(), 32) == 0;
  if (sha) BCryptCloseAlgorithmProvider(sha, 0);
  if (!ok) digest.clear();
  return digest;
}

bool VerifyWithBcrypt(const uint8_t* publicKey, const Bytes& record, const uint8_t* signature) {
  Bytes digest = Sha256(record);
  BCRYPT_ALG_HANDLE ecdsa = nullptr;
  BCRYPT_KEY_HANDLE key = nullptr;
  bool ok = digest.size() == 32 && BCryptOpenAlgorithmProvider(&ecdsa, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) == 0 &&
            BCryptImportKeyPair(ecdsa, nullptr, BCRYPT_ECCPUBLIC_BLOB, &key, const_cast<uint8_t*>(publicKey), 72, 0) ==
                0 &&
            BCryptVerifySignature(key, nullptr, digest.data(), 32, const_cast<uint8_t*>(signature), 64, 0) == 0;
  if (key) BCryptDestroyKey(key);
  if (ecdsa) BCryptCloseAlgorithmProvider(ecdsa, 0);
  return ok;
}

// The evidence text as the server forms it for the finding it expects.
Bytes EvidenceText(unsigned violation, const char* normalisedName, unsigned long pid, unsigned long access) {
  char text[384];
  int length = std::snprintf(text, sizeof(text),
                             "ZARNEL-GUARD-EVIDENCE-V1\nviolation=%u\nname=%s\ntarget-pid=%lu\naccess=%08lX\n",
                             violation, normalisedName, pid, access);
  return Bytes(text, text + length);
}

// The signed record rebuilt from the report and the challenge build.
Bytes RebuildRecord(const Bytes& report, uint32_t challengeBuild) {
  Bytes r;
  const char magic[] = "ZARNEL-GUARD-HARD-CHEAT-V1";
  r.insert(r.end(), magic, magic + 26);
  r.push_back(0x00);
  r.push_back(0x01);
  for (int shift : {24, 16, 8, 0}) r.push_back(static_cast<uint8_t>(challengeBuild >> shift));
  for (uint8_t b : {0x00, 0x00, 0x00, 0x3E}) r.push_back(b);
  r.push_back(report[6]);
  r.push_back(report[8]);  // violation, big-endian here
  r.push_back(report[7]);
  r.insert(r.end(), report.begin() + 9, report.begin() + 177);  // ids, nonce, evidence, key
  return r;
}

// The host's default challenge (build 62).
Bytes DefaultChallengeId() {
  Bytes id;
  for (int i = 0; i < 16; ++i) id.push_back(static_cast<uint8_t>(0xC1 + 5 * i));
  return id;
}
Bytes DefaultChallengeNonce() {
  Bytes nonce;
  for (int i = 0; i < 32; ++i) nonce.push_back(static_cast<uint8_t>(0x17 + 3 * i));
  return nonce;
}

std::string HelperCode(const std::wstring& directory) {
  for (int i = 0; i < 200; ++i, Sleep(50)) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((directory + L"ZarnelUpdateHelper.record-*.txt").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) continue;
    FindClose(find);
    HANDLE file = CreateFileW((directory + data.cFileName).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) continue;
    char buffer[8192];
    DWORD read = 0;
    ReadFile(file, buffer, sizeof(buffer), &read, nullptr);
    CloseHandle(file);
    std::string code = ParseKeyValues(std::string(buffer, read))["code"];
    if (!code.empty()) return code;
  }
  return "(no helper record)";
}

struct ExchangeCase {
  const char* name;
  const wchar_t* arguments;   // after "--detect"; {program} is the blocked program's path
  const char* attached;       // "before-start", "after-start" or "" (the program)
  unsigned violation;
  const char* evidenceName;   // normalised
  unsigned long access;
  const char* helperCode;
  const char* closingMessage;
};

const char kDebuggerMessage[] = "Zarnel closed because an active debugger was detected.";
const char kProgramMessage[] =
    "Zarnel closed because Cheat Engine was opened. Close it completely before reconnecting. (Code AC-PROC-001)";

const ExchangeCase kExchangeCases[] = {
    {"debugger_at_run_time_accepted", L"debugger --answer accept", "after-start", 1, "active-debugger", 0,
     "AC-DEBUG-001", kDebuggerMessage},
    // The challenge is already held when the monitor records the finding:
    // the monitor thread signs the report itself.
    {"debugger_at_run_time_rejected", L"debugger --challenge-first --answer reject", "after-start", 1,
     "active-debugger", 0, "AC-DEBUG-001",
     "Zarnel closed because an active debugger was detected. The server rejected the security report."},
    {"debugger_before_start_accepted", L"debugger-first --answer accept", "before-start", 1, "active-debugger", 0,
     "AC-DEBUG-001", kDebuggerMessage},
    {"debugger_never_acknowledged", L"debugger --answer none", "after-start", 1, "active-debugger", 0,
     "AC-DEBUG-001",
     "Zarnel closed because an active debugger was detected. The security report acknowledgement timed out."},
    // PROCESS_VM_READ | PROCESS_VM_WRITE.
    {"program_with_memory_access_accepted", L"program {program} 30 --answer accept", "", 3, "ac-proc-001", 0x30,
     "AC-PROC-001", kProgramMessage},
};

class HardCheatExchangeFromOutside : public testing::TestWithParam<ExchangeCase> {};

TEST_P(HardCheatExchangeFromOutside, RecordsTheFindingSignsTheReportAndEndsOnTheVerdict) {
  if (!HaveSampleClient()) GTEST_SKIP() << "built for a studio's client: no sample client to start";
  const ExchangeCase& c = GetParam();
  SampleClientCopy client({L"hard_cheat_host.exe", L"debugger_attacher.exe"});
  ASSERT_TRUE(client.Complete());
  // A hard-cheat row's program name, outside the client directory's files.
  std::wstring program = client.Path() + L"cheatengine-x86_64.exe";
  ASSERT_TRUE(CopyFileW(ProgramFile(L"idle_program.exe").c_str(), program.c_str(), FALSE));
  std::wstring arguments = c.arguments;
  size_t at = arguments.find(L"{program}");
  if (at != std::wstring::npos) arguments.replace(at, 9, L"\"" + program + L"\"");

  ProcessResult run = RunProcess(client.Path() + L"hard_cheat_host.exe", L"--detect " + arguments, client.Path(), 90000);
  ASSERT_TRUE(run.finished) << run.output;
  auto values = ParseKeyValues(run.output);

  // The client ended by the guard's fatal exit, with the finding's code.
  EXPECT_EQ(run.exitCode, 13u) << run.output;
  EXPECT_EQ(HelperCode(client.Path()), c.helperCode);
  // The host, the debugger or the blocked program, and the helper.
  EXPECT_EQ(run.totalProcesses, 3u) << run.output;

  // The finding did not end the client: it went on to the exchange.
  EXPECT_EQ(values["initialize"], "1") << "a debugger before the start is tolerated: " << run.output;
  if (*c.attached) {
    EXPECT_EQ(values["debugger_attached"], c.attached);
  }
  EXPECT_EQ(values["report_size"], "241");
  EXPECT_EQ(values["ack_other_id"], "0");
  EXPECT_EQ(values["ack_verdict_2"], "0");
  EXPECT_EQ(values["invalid_challenge"], "0");
  EXPECT_EQ(values["invalid_challenge_error"], "ZarnelGuard rejected an invalid hard-cheat challenge.");
  EXPECT_EQ(values["report_unchanged"], "1") << "answers that do not match change nothing";
  EXPECT_EQ(values.count("ack_returned"), 0u) << "the matching acknowledgement never returns";
  EXPECT_EQ(values.count("still_running"), 0u) << "the deadline ends the client";
  // The last-error text is only readable inside the client, in the moment
  // between the guard writing it and ending the process; the host catches
  // it there when it can.
  if (values.count("closing_message")) {
    EXPECT_EQ(values["closing_message"], c.closingMessage);
  }

  Bytes report = Unhex(values["report"]);
  ASSERT_EQ(report.size(), 241u) << run.output;
  const uint8_t header[] = {0x01, 0x00, 0x3E, 0x00, 0x00, 0x00};
  EXPECT_EQ(std::memcmp(report.data(), header, 6), 0);
  EXPECT_TRUE(report[6] == 1 || report[6] == 2) << "key kind " << int(report[6]);
  EXPECT_EQ(report[7], c.violation);
  EXPECT_EQ(report[8], 0);
  EXPECT_EQ(Bytes(report.begin() + 25, report.begin() + 41), DefaultChallengeId());
  EXPECT_EQ(Bytes(report.begin() + 41, report.begin() + 73), DefaultChallengeNonce());
  unsigned long pid = std::stoul(values["pid"]);
  EXPECT_EQ(Bytes(report.begin() + 73, report.begin() + 105),
            Sha256(EvidenceText(c.violation, c.evidenceName, pid, c.access)))
      << "evidence: violation " << c.violation << ", " << c.evidenceName << ", process " << pid << ", access "
      << c.access;
  EXPECT_TRUE(VerifyWithBcrypt(report.data() + 105, RebuildRecord(report, 62), report.data() + 177))
      << "the signature verifies over the record rebuilt with the challenge's build";
}

INSTANTIATE_TEST_SUITE_P(Cases, HardCheatExchangeFromOutside, testing::ValuesIn(kExchangeCases),
                         [](const testing::TestParamInfo<ExchangeCase>& info) { return std::string(info.param.name); });
}  // namespace
