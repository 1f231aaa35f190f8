// Login names as the guard signs them: 1 to 32 printable ASCII bytes with
// no upper-case letter, zero-filled to a 32-byte field.
#pragma once

#include <string>
#include <string_view>

#include "bytes.h"
#include "verdict.h"

namespace zarnel::serverkit {

constexpr std::size_t kLoginNameFieldSize = 32;

// Folds ASCII A-Z only, as the client does before it calls the guard;
// every other byte is left for CheckLoginName to judge.
std::string FoldLoginName(std::string_view name);

Verdict CheckLoginName(std::string_view foldedName);

// The 32-byte field of a name that passed CheckLoginName.
Bytes LoginNameField(std::string_view foldedName);

}  // namespace zarnel::serverkit
