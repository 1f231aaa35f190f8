// The login proof export: the outputs zeroed first, the guarded start, the
// checks repeated before each login, then the signed record.
#include <windows.h>

#include <cstring>

#include "ZarnelGuard.h"
#include "core/startup_sequence.h"
#include "proofs/device_key_store.h"
#include "proofs/login_proof.h"
#include "state/guard_state.h"

extern "C" uint32_t ZARNELGUARD_API ZarnelGuardCreateLoginProof(
    uint16_t proofVersion, uint32_t challengeBuild, const uint8_t* challengeId, const uint8_t* challengeNonce,
    const uint8_t* loginName, uint8_t loginNameLength, uint32_t* clientBuildOut, uint8_t* keyKindOut,
    uint8_t* machineDigestOut, uint8_t* publicKeyOut, uint8_t* signatureOut) {
  if (!clientBuildOut || !keyKindOut || !machineDigestOut || !publicKeyOut || !signatureOut) {
    SetLastErrorText(L"ZarnelGuard received an invalid login-proof output buffer.");
    return 0;
  }
  *clientBuildOut = 0;
  *keyKindOut = 0;
  std::memset(machineDigestOut, 0, 32);
  std::memset(publicKeyOut, 0, kDevicePublicKeySize);
  std::memset(signatureOut, 0, kDeviceSignatureSize);
  if (!InitOnceExecuteOnce(&guard.startupOnce, RunStartupSequence, nullptr, nullptr)) return 0;
  RunPreLoginChecks();
  return BuildLoginProof(proofVersion, challengeBuild, challengeId, challengeNonce, loginName, loginNameLength,
                         clientBuildOut, keyKindOut, machineDigestOut, publicKeyOut, signatureOut)
             ? 1
             : 0;
}
