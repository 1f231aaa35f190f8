// The guard's signed records against the known-answer vectors that the
// server kit's tests read too (tests/vectors/record_vectors.txt). The bytes
// are caught where the guard hands them to the hash, so what is compared is
// exactly what gets signed; the device key is faked to the vectors' public
// key and signature.
#include <gtest/gtest.h>
#include <windows.h>
#include <wincrypt.h>

#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "hard_cheat_fixture.h"
#include "proofs/login_proof.h"

namespace {
using Bytes = std::vector<uint8_t>;
using Section = std::map<std::string, std::string>;

std::map<std::string, Section> ReadVectors() {
  std::map<std::string, Section> sections;
  std::ifstream file(ZG_RECORD_VECTORS);
  std::string line, current;
  while (std::getline(file, line)) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    if (line.front() == '[' && line.back() == ']') {
      current = line.substr(1, line.size() - 2);
      continue;
    }
    size_t eq = line.find('=');
    if (eq != std::string::npos) sections[current][line.substr(0, eq)] = line.substr(eq + 1);
  }
  return sections;
}

Bytes Unhex(const std::string& hex) {
  Bytes bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return bytes;
}

std::string Hex(const Bytes& bytes) { return ToHex(bytes.data(), bytes.size()); }

// What the guard hashed and what it asked the key to sign, call by call.
struct Capture {
  std::vector<Bytes> hashed;
  std::vector<Bytes> signedDigests;
  Bytes publicKey;
  Bytes signature;
};
Capture* capture = nullptr;

BOOL WINAPI CaptureHashData(HCRYPTHASH hash, const BYTE* data, DWORD length, DWORD flags) {
  capture->hashed.emplace_back(data, data + length);
  return CryptHashData(hash, data, length, flags);
}

SECURITY_STATUS WINAPI ExportVectorKey(NCRYPT_KEY_HANDLE, NCRYPT_KEY_HANDLE, LPCWSTR blobType, NCryptBufferDesc*,
                                       PBYTE output, DWORD outputSize, DWORD* resultSize, DWORD) {
  if (std::wcscmp(blobType, BCRYPT_ECCPUBLIC_BLOB) != 0) return NTE_INVALID_PARAMETER;
  *resultSize = static_cast<DWORD>(capture->publicKey.size());
  if (output) {
    if (outputSize < capture->publicKey.size()) return NTE_BUFFER_TOO_SMALL;
    std::memcpy(output, capture->publicKey.data(), capture->publicKey.size());
  }
  return ERROR_SUCCESS;
}

SECURITY_STATUS WINAPI SignWithVectorSignature(NCRYPT_KEY_HANDLE, VOID*, PBYTE digest, DWORD digestSize,
                                               PBYTE signature, DWORD signatureSize, DWORD* resultSize, DWORD) {
  capture->signedDigests.emplace_back(digest, digest + digestSize);
  if (signatureSize < capture->signature.size()) return NTE_BUFFER_TOO_SMALL;
  std::memcpy(signature, capture->signature.data(), capture->signature.size());
  *resultSize = static_cast<DWORD>(capture->signature.size());
  return ERROR_SUCCESS;
}

DWORD vectorProcessId = 0;
DWORD WINAPI VectorProcessId() { return vectorProcessId; }

Bytes vectorReportId;
NTSTATUS WINAPI VectorReportId(BCRYPT_ALG_HANDLE, PUCHAR buffer, ULONG size, ULONG) {
  if (size != vectorReportId.size()) return static_cast<NTSTATUS>(0xC000000D);
  std::memcpy(buffer, vectorReportId.data(), size);
  return 0;
}

class RecordVectors : public testing::Test {
 protected:
  void SetUp() override {
    vectors_ = ReadVectors();
    ASSERT_TRUE(vectors_.count("login-proof")) << "cannot read " << ZG_RECORD_VECTORS;
    capture = &capture_;
    win32Calls.CryptHashData = CaptureHashData;
    win32Calls.NCryptExportKey = ExportVectorKey;
    win32Calls.NCryptSignHash = SignWithVectorSignature;
    guard.deviceKeyProvider = hard_cheat_test::kFakeProviderHandle;
    guard.deviceKey = hard_cheat_test::kFakeKeyHandle;
  }
  void TearDown() override { capture = nullptr; }
  void UseKeyOf(const Section& v) {
    capture_.publicKey = Unhex(v.at("public_key"));
    capture_.signature = Unhex(v.at("signature"));
    guard.deviceKeyKind = std::stoul(v.at("key_kind"));
  }

  std::map<std::string, Section> vectors_;
  Capture capture_;
};

TEST_F(RecordVectors, TheLoginProofSignsTheVectorRecord) {
  const Section& v = vectors_["login-proof"];
  UseKeyOf(v);
  Bytes machine = Unhex(v.at("machine_digest"));
  std::memcpy(guard.machineIdentityDigest, machine.data(), 32);
  Bytes id = Unhex(v.at("challenge_id")), nonce = Unhex(v.at("challenge_nonce"));
  uint8_t name[32] = {};
  std::memcpy(name, v.at("login_name").data(), v.at("login_name").size());

  uint32_t build = 0;
  uint8_t kind = 0, digestOut[32], publicKeyOut[72], signatureOut[64];
  ASSERT_TRUE(BuildLoginProof(2, std::stoul(v.at("challenge_build")), id.data(), nonce.data(), name,
                              static_cast<uint8_t>(std::stoul(v.at("login_name_length"))), &build, &kind, digestOut,
                              publicKeyOut, signatureOut))
      << std::wstring(guard.lastErrorText).c_str();

  ASSERT_EQ(capture_.hashed.size(), 1u);
  EXPECT_EQ(Hex(capture_.hashed[0]), v.at("record"));
  EXPECT_EQ(Hex(Bytes(capture_.hashed[0].begin() + 21, capture_.hashed[0].begin() + 31)), "00020000000500000" "03e")
      << "challenge build 5 and client build 62, big-endian";
  ASSERT_EQ(capture_.signedDigests.size(), 1u);
  EXPECT_EQ(Hex(capture_.signedDigests[0]), v.at("record_sha256"));
  EXPECT_EQ(build, std::stoul(v.at("client_build")));
  EXPECT_EQ(kind, std::stoul(v.at("key_kind")));
  EXPECT_EQ(ToHex(digestOut, 32), v.at("machine_digest"));
  EXPECT_EQ(ToHex(publicKeyOut, 72), v.at("public_key"));
  EXPECT_EQ(ToHex(signatureOut, 64), v.at("signature"));
}

struct HardCheatVector {
  const char* label;
  const char* report;
  const char* evidence;
  const wchar_t* detectionName;  // as the detection path passes it
};

class HardCheatRecordVectors : public RecordVectors, public testing::WithParamInterface<HardCheatVector> {};

// The detection first, then the challenge: the first hash is the evidence
// text, the second the signed record; the report carries both.
TEST_P(HardCheatRecordVectors, TheReportSignsTheVectorRecord) {
  const Section& v = vectors_[GetParam().report];
  const Section& e = vectors_[GetParam().evidence];
  ASSERT_FALSE(v.empty());
  ASSERT_FALSE(e.empty());
  UseKeyOf(v);
  hard_cheat_test::MarkStartupDone();
  vectorProcessId = std::stoul(e.at("target_pid"));
  win32Calls.GetCurrentProcessId = VectorProcessId;
  vectorReportId = Unhex(v.at("report_id"));
  win32Calls.BCryptGenRandom = VectorReportId;

  uint16_t violation = static_cast<uint16_t>(std::stoul(v.at("violation")));
  ASSERT_TRUE(ConfirmHardCheatDetection(violation, GetParam().detectionName, std::stoul(e.at("access"), nullptr, 16),
                                        nullptr, nullptr));
  ASSERT_EQ(capture_.hashed.size(), 1u);
  EXPECT_EQ(capture_.hashed[0].size(), std::stoul(e.at("text_length")));
  EXPECT_EQ(Hex(capture_.hashed[0]), e.at("text"));
  EXPECT_EQ(ToHex(guard.hardCheat.evidenceDigest, 32), e.at("sha256"));

  Bytes id = Unhex(v.at("challenge_id")), nonce = Unhex(v.at("challenge_nonce"));
  ASSERT_EQ(ZarnelGuardSetHardCheatChallenge(1, std::stoul(v.at("challenge_build")), id.data(), nonce.data()), 1u)
      << std::wstring(guard.lastErrorText).c_str();
  ASSERT_EQ(capture_.hashed.size(), 2u);
  EXPECT_EQ(Hex(capture_.hashed[1]), v.at("record"));
  ASSERT_EQ(capture_.signedDigests.size(), 1u);
  EXPECT_EQ(Hex(capture_.signedDigests[0]), v.at("record_sha256"));
  EXPECT_EQ(Hex(hard_cheat_test::TakeReport()), v.at("report"));
}

INSTANTIATE_TEST_SUITE_P(Vectors, HardCheatRecordVectors,
                         testing::Values(HardCheatVector{"debugger", "hard-cheat-debugger", "evidence-debugger",
                                                         L"active-debugger"},
                                         HardCheatVector{"program", "hard-cheat-program", "evidence-hard-cheat-program",
                                                         L"AC-PROC-001"}),
                         [](const testing::TestParamInfo<HardCheatVector>& i) { return std::string(i.param.label); });
}  // namespace
