// Links the server kit through its package and issues a login challenge.
#include <iostream>

#include <zarnel/serverkit/challenge.h>
#include <zarnel/serverkit/login_proof.h>

int main() {
  using namespace zarnel::serverkit;
  Challenge challenge;
  Verdict verdict = IssueLoginChallenge(kNewestClientBuild, challenge);
  if (!verdict.ok() || challenge.id.size() != kChallengeIdSize || challenge.nonce.size() != kChallengeNonceSize) {
    std::cout << "issuing a challenge failed: " << verdict.check << " " << verdict.detail << "\n";
    return 1;
  }
  std::cout << "login challenge " << ToHex(challenge.id) << " for build " << challenge.build << "\n";
  return CheckChallenge(challenge, kLoginChallengeVersion).ok() ? 0 : 1;
}
