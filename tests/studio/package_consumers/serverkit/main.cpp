// Links the server kit through its package: issues a login challenge, reads
// a Redis store's address, and asks the verification service for one.
#include <iostream>

#include <zarnel/serverkit/challenge.h>
#include <zarnel/serverkit/login_proof.h>
#include <zarnel/serverkit/memory_challenge_store.h>
#include <zarnel/serverkit/redis_challenge_store.h>
#include <zarnel/serverkit/verification_service.h>

int main() {
  using namespace zarnel::serverkit;
  Challenge challenge;
  Verdict verdict = IssueLoginChallenge(kNewestClientBuild, challenge);
  if (!verdict.ok() || challenge.id.size() != kChallengeIdSize || challenge.nonce.size() != kChallengeNonceSize) {
    std::cout << "issuing a challenge failed: " << verdict.check << " " << verdict.detail << "\n";
    return 1;
  }
  std::cout << "login challenge " << ToHex(challenge.id) << " for build " << challenge.build << "\n";
  if (!CheckChallenge(challenge, kLoginChallengeVersion).ok()) return 1;

  RedisStoreAddress address;
  std::string error;
  if (!ParseRedisStoreUrl("redis://127.0.0.1:6379/zarnel", address, error) || address.port != 6379) {
    std::cout << "reading a Redis store's address failed: " << error << "\n";
    return 1;
  }
  MemoryChallengeStore store;
  const service::VerificationService verification(store, service::ServicePolicy{});
  const service::ServiceReply reply =
      verification.Handle("POST", "/v1/login-challenges", R"({"session":"s1"})");
  std::cout << "service: " << reply.status << " " << service::DumpJson(reply.body) << "\n";
  return reply.status == 200 && reply.body["ok"] == true ? 0 : 1;
}
