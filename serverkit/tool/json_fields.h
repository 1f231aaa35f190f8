// Reading the tool's JSON input. A missing or mistyped field is bad input
// (exit 2), never a verification verdict: only well-formed requests reach
// the library's checks.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "bytes.h"
#include "challenge.h"

namespace zarnel::serverkit::tool {

using Json = nlohmann::ordered_json;

struct BadInput : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::uint32_t RequireU32(const Json& object, const char* field);
std::optional<std::uint32_t> OptionalU32(const Json& object, const char* field);
std::string RequireString(const Json& object, const char* field);
// Hex of any length: lengths are judged by the library, by name.
Bytes RequireHex(const Json& object, const char* field);
std::optional<Bytes> OptionalHex(const Json& object, const char* field);
const Json& RequireObject(const Json& object, const char* field);

Challenge ReadChallenge(const Json& object);
Json ChallengeToJson(const Challenge& challenge);

}  // namespace zarnel::serverkit::tool
