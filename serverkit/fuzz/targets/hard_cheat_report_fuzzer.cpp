// The report parser and verifier on arbitrary report bytes. The first byte
// is the build the server issued; the challenge it "issued" is the one the
// report names, so that inputs get past the challenge lookup to the key
// and signature checks. Whatever the bytes: a rejection names a check, the
// parsed fields are the report's own bytes, and an accepted report is
// rejected again once one bit of its signature changes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "bytes.h"
#include "fuzz_check.h"
#include "hard_cheat_report.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace zarnel::serverkit;
  if (size == 0) return 0;
  const Bytes bytes(data + 1, data + size);
  HardCheatReport report;
  const Verdict parsed = ParseHardCheatReport(bytes, report);
  FUZZ_CHECK(parsed.ok() == (bytes.size() == kHardCheatReportSize));
  if (!parsed.ok()) {
    FUZZ_CHECK(parsed.check == Check::kWrongLength);
    return 0;
  }
  FUZZ_CHECK(report.reportId.size() == 16 && report.challengeId.size() == 16 &&
             report.challengeNonce.size() == 32 && report.evidenceDigest.size() == 32 &&
             report.publicKey.size() == 72 && report.signature.size() == 64);
  FUZZ_CHECK(Bytes(bytes.begin() + 177, bytes.end()) == report.signature);
  const Bytes record = BuildHardCheatRecord(report, data[0]);
  FUZZ_CHECK(record.size() == kHardCheatRecordSize);

  Challenge issued{kHardCheatChallengeVersion, data[0], report.challengeId, report.challengeNonce};
  HardCheatPolicy policy;
  HardCheatReport verified;
  const Verdict verdict = VerifyHardCheatReport(bytes, {issued}, policy, verified);
  FUZZ_CHECK(std::string(CheckName(verdict.check)) != "unknown-check");
  FUZZ_CHECK(verdict.ok() == verdict.detail.empty());
  FUZZ_CHECK(verified.reportId == report.reportId);
  if (verdict.ok()) {
    Bytes forged = bytes;
    forged[kHardCheatReportSize - 1] ^= 0x01;
    const Verdict again = VerifyHardCheatReport(forged, {issued}, policy, verified);
    FUZZ_CHECK(again.check == Check::kSignatureMismatch ||
               again.check == Check::kSignatureOutOfRange);
  }
  return 0;
}
