#include "json_fields.h"

#include <limits>

namespace zarnel::serverkit::service {

namespace {

const Json& RequireField(const Json& object, const char* field) {
  if (!object.is_object()) throw BadInput("expected a JSON object");
  auto found = object.find(field);
  if (found == object.end() || found->is_null()) {
    throw BadInput(std::string("missing field \"") + field + "\"");
  }
  return *found;
}

}  // namespace

bool Present(const Json& object, const char* field) {
  auto found = object.find(field);
  return found != object.end() && !found->is_null();
}

std::uint32_t RequireU32(const Json& object, const char* field) {
  const Json& value = RequireField(object, field);
  if (!value.is_number_unsigned() ||
      value.get<std::uint64_t>() > std::numeric_limits<std::uint32_t>::max()) {
    throw BadInput(std::string("field \"") + field +
                   "\" must be an integer from 0 to 4294967295");
  }
  return static_cast<std::uint32_t>(value.get<std::uint64_t>());
}

std::optional<std::uint32_t> OptionalU32(const Json& object, const char* field) {
  if (!Present(object, field)) return std::nullopt;
  return RequireU32(object, field);
}

std::string RequireString(const Json& object, const char* field) {
  const Json& value = RequireField(object, field);
  if (!value.is_string()) throw BadInput(std::string("field \"") + field + "\" must be a string");
  return value.get<std::string>();
}

Bytes RequireHex(const Json& object, const char* field) {
  Bytes bytes;
  if (!FromHex(RequireString(object, field), bytes)) {
    throw BadInput(std::string("field \"") + field + "\" is not hex");
  }
  return bytes;
}

std::optional<Bytes> OptionalHex(const Json& object, const char* field) {
  if (!Present(object, field)) return std::nullopt;
  return RequireHex(object, field);
}

const Json& RequireObject(const Json& object, const char* field) {
  const Json& value = RequireField(object, field);
  if (!value.is_object()) throw BadInput(std::string("field \"") + field + "\" must be an object");
  return value;
}

Challenge ReadChallenge(const Json& object) {
  Challenge challenge;
  const std::uint32_t version = RequireU32(object, "version");
  if (version > std::numeric_limits<std::uint16_t>::max()) {
    throw BadInput("challenge version must fit 16 bits");
  }
  challenge.version = static_cast<std::uint16_t>(version);
  challenge.build = RequireU32(object, "build");
  challenge.id = RequireHex(object, "id");
  challenge.nonce = RequireHex(object, "nonce");
  return challenge;
}

std::vector<Bytes> ReadEnrolledKeys(const Json& object) {
  std::vector<Bytes> keys;
  if (auto one = OptionalHex(object, "known_public_key")) keys.push_back(*one);
  if (Present(object, "known_public_keys")) {
    const Json& list = object["known_public_keys"];
    if (!list.is_array()) throw BadInput("field \"known_public_keys\" must be an array");
    for (const Json& entry : list) {
      Bytes key;
      if (!entry.is_string() || !FromHex(entry.get<std::string>(), key)) {
        throw BadInput("each of \"known_public_keys\" must be a hex string");
      }
      keys.push_back(std::move(key));
    }
  }
  return keys;
}

EvidenceClaim ReadEvidence(const Json& object, bool violationOptional, bool& violationGiven) {
  EvidenceClaim claim;
  const std::optional<std::uint32_t> violation =
      violationOptional ? OptionalU32(object, "violation") : RequireU32(object, "violation");
  violationGiven = violation.has_value();
  claim.violation = violation.value_or(0);
  claim.name = RequireString(object, "name");
  claim.processId = RequireU32(object, "pid");
  claim.accessMask = RequireU32(object, "access");
  return claim;
}

Json ChallengeToJson(const Challenge& challenge) {
  Json json;
  json["version"] = challenge.version;
  json["build"] = challenge.build;
  json["id"] = ToHex(challenge.id);
  json["nonce"] = ToHex(challenge.nonce);
  return json;
}

std::string StringOrEmpty(const Json& object, const char* field) {
  if (!object.is_object()) return {};
  const auto it = object.find(field);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::string DumpJson(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace zarnel::serverkit::service
