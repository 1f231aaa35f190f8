// Callers compile against the public header; the guard's own sizes and its
// client build must be the header's, or the build stops here.
#include "ZarnelGuard.h"
#include "integrity/sha256_digest.h"
#include "proofs/device_key_store.h"
#include "state/guard_state.h"
#include "state/hard_cheat_state.h"

static_assert(ZARNELGUARD_CLIENT_BUILD == kClientBuild,
              "ZARNELGUARD_CLIENT_BUILD differs from the patch number of project(VERSION) in CMakeLists.txt");
static_assert(ZARNELGUARD_CHALLENGE_ID_SIZE == kHardCheatIdSize, "challenge id size");
static_assert(ZARNELGUARD_CHALLENGE_NONCE_SIZE == kHardCheatNonceSize, "challenge nonce size");
static_assert(ZARNELGUARD_MACHINE_DIGEST_SIZE == sizeof(GuardState::machineIdentityDigest), "machine digest size");
static_assert(ZARNELGUARD_MACHINE_DIGEST_SIZE == kSha256Size, "machine digest size");
static_assert(ZARNELGUARD_PUBLIC_KEY_SIZE == kDevicePublicKeySize, "public key size");
static_assert(ZARNELGUARD_SIGNATURE_SIZE == kDeviceSignatureSize, "signature size");
static_assert(ZARNELGUARD_HARD_CHEAT_REPORT_SIZE == kHardCheatReportSize, "hard-cheat report size");
static_assert(ZARNELGUARD_REPORT_ID_SIZE == kHardCheatIdSize, "report id size");
