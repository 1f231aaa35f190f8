// The verification service's calls on arbitrary bodies: the first byte
// picks the method and path, the rest is the body. The store persists
// across inputs and is small, so that issuing fills it and store-full and
// session-limit are reached too. Every reply is one JSON object with a
// status that matches.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "answer_check.h"
#include "memory_challenge_store.h"
#include "verification_service.h"

namespace {

struct Call {
  const char* method;
  const char* path;
};

const Call kCalls[] = {
    {"POST", "/v1/login-challenges"},  {"POST", "/v1/login-proofs"},
    {"POST", "/v1/hard-cheat-challenges"}, {"POST", "/v1/hard-cheat-reports"},
    {"POST", "/v1/hard-cheat-acknowledgements"}, {"GET", "/healthz"},
    {"GET", "/v1/login-proofs"},        {"POST", "/v1/\xff"},
};

zarnel::serverkit::ChallengeStoreOptions SmallStore() {
  zarnel::serverkit::ChallengeStoreOptions options;
  options.maxEntries = 64;
  return options;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace zarnel::serverkit;
  static MemoryChallengeStore store(SmallStore());
  static const service::VerificationService service(store, service::ServicePolicy{});
  if (size == 0) return 0;
  const Call& call = kCalls[data[0] % (sizeof kCalls / sizeof kCalls[0])];
  const std::string_view body(reinterpret_cast<const char*>(data + 1), size - 1);
  const service::ServiceReply reply = service.Handle(call.method, call.path, body);
  const bool badInput = reply.status == 400 || reply.status == 404 || reply.status == 405;
  fuzz::CheckAnswer(reply.body, badInput);
  const bool ok = reply.body["ok"].get<bool>();
  FUZZ_CHECK(!ok || reply.status == 200);
  FUZZ_CHECK(reply.status == 200 || reply.status == 400 || reply.status == 404 ||
             reply.status == 405 || reply.status == 429 || reply.status == 503);
  FUZZ_CHECK(store.size() <= 64);
  return 0;
}
