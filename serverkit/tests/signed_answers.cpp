#include "signed_answers.h"

namespace zarnel::serverkit::testing {

nlohmann::json LoginProofBody(const std::string& session, const LoginAnswer& answer) {
  return {{"session", session},
          {"challenge_id", Hex(answer.challengeId)},
          {"login_name", answer.loginName},
          {"client_build", answer.clientBuild},
          {"key_kind", answer.keyKind},
          {"machine_digest", Hex(answer.machineDigest)},
          {"public_key", Hex(answer.publicKey)},
          {"signature", Hex(answer.signature)}};
}

LoginAnswer SignLoginAnswer(const TestDeviceKey& device, const Challenge& challenge,
                            const std::string& name) {
  LoginRecordFields fields;
  fields.challengeBuild = challenge.build;
  fields.challengeId = challenge.id;
  fields.challengeNonce = challenge.nonce;
  fields.loginName = name;
  fields.publicKey = device.blob;
  LoginAnswer answer;
  answer.challengeId = challenge.id;
  answer.loginName = name;
  answer.clientBuild = fields.clientBuild;
  answer.keyKind = fields.keyKind;
  answer.machineDigest = fields.machineDigest;
  answer.publicKey = device.blob;
  answer.signature = SignRecord(device, LayLoginProofRecord(fields));
  return answer;
}

EvidenceClaim DebuggerEvidence() {
  EvidenceClaim claim;
  claim.violation = 1;
  claim.name = "active-debugger";
  claim.processId = 700;
  claim.accessMask = 0;
  return claim;
}

Raw SignHardCheatReport(const TestDeviceKey& device, const Challenge& challenge,
                        const Raw& reportId) {
  HardCheatFields fields;
  fields.challengeBuild = challenge.build;
  fields.reportId = reportId;
  fields.challengeId = challenge.id;
  fields.challengeNonce = challenge.nonce;
  fields.evidenceDigest = Sha256Of(std::string(
      "ZARNEL-GUARD-EVIDENCE-V1\nviolation=1\nname=active-debugger\ntarget-pid=700\n"
      "access=00000000\n"));
  fields.publicKey = device.blob;
  return LayHardCheatReport(fields, SignRecord(device, LayHardCheatRecord(fields)));
}

}  // namespace zarnel::serverkit::testing
