// Reading the JSON of a request, field by field. A missing or mistyped
// field is bad input (HTTP 400, the tool's exit 2), never a verification
// verdict: only well-formed requests reach the kit's checks.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bytes.h"
#include "challenge.h"
#include "evidence.h"

namespace zarnel::serverkit::service {

using Json = nlohmann::ordered_json;

struct BadInput : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::uint32_t RequireU32(const Json& object, const char* field);
std::optional<std::uint32_t> OptionalU32(const Json& object, const char* field);
std::string RequireString(const Json& object, const char* field);
// Hex of any length: lengths are judged by the kit, by name.
Bytes RequireHex(const Json& object, const char* field);
std::optional<Bytes> OptionalHex(const Json& object, const char* field);
const Json& RequireObject(const Json& object, const char* field);
// The field is there and not null.
bool Present(const Json& object, const char* field);
// The field's text when `object` is an object holding it as a string, else
// empty: for what the log keeps, which never refuses anything.
std::string StringOrEmpty(const Json& object, const char* field);

Challenge ReadChallenge(const Json& object);

// "known_public_key" (one hex key) and "known_public_keys" (an array of
// them), both optional and combined: the account's enrolled keys.
std::vector<Bytes> ReadEnrolledKeys(const Json& object);

// The fields of a login proof besides its challenge, in the order they are
// checked: read alike by the stateless command (into a LoginProof) and by
// the service (into a LoginAnswer).
template <typename Proof>
void ReadLoginProofFields(const Json& object, Proof& proof) {
  proof.loginName = RequireString(object, "login_name");
  proof.clientBuild = RequireU32(object, "client_build");
  proof.keyKind = RequireU32(object, "key_kind");
  proof.machineDigest = RequireHex(object, "machine_digest");
  proof.publicKey = RequireHex(object, "public_key");
  proof.signature = RequireHex(object, "signature");
}

// {"violation", "name", "pid", "access"}. With `violationOptional`, a
// missing "violation" leaves `violationGiven` false and the claim's
// violation 0 (a report's own then stands in).
EvidenceClaim ReadEvidence(const Json& object, bool violationOptional, bool& violationGiven);

Json ChallengeToJson(const Challenge& challenge);

// One line of JSON. Texts taken from the input (a folded login name, the
// parser's own error message quoting the offending bytes) need not be
// UTF-8: such bytes are written as U+FFFD instead of throwing, so that
// every answer can be written.
std::string DumpJson(const Json& value);

}  // namespace zarnel::serverkit::service
