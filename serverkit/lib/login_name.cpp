#include "login_name.h"

#include <cstdio>

namespace zarnel::serverkit {

std::string FoldLoginName(std::string_view name) {
  std::string folded(name);
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

Verdict CheckLoginName(std::string_view foldedName) {
  if (foldedName.empty() || foldedName.size() > kLoginNameFieldSize) {
    return Reject(Check::kLoginNameLength, "login name must be 1 to 32 bytes, got " +
                                               std::to_string(foldedName.size()));
  }
  for (std::size_t i = 0; i < foldedName.size(); ++i) {
    const auto byte = static_cast<unsigned char>(foldedName[i]);
    if (byte < 0x21 || byte > 0x7E || (byte >= 'A' && byte <= 'Z')) {
      char text[64];
      std::snprintf(text, sizeof text, "login name byte %zu is 0x%02x", i, byte);
      return Reject(Check::kLoginNameCharacter, text);
    }
  }
  return Accept();
}

Bytes LoginNameField(std::string_view foldedName) {
  Bytes field(kLoginNameFieldSize, 0);
  for (std::size_t i = 0; i < foldedName.size() && i < kLoginNameFieldSize; ++i) {
    field[i] = static_cast<std::uint8_t>(foldedName[i]);
  }
  return field;
}

}  // namespace zarnel::serverkit
