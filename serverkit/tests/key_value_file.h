// Test inputs kept in text files outside the tests: the shared known-answer
// vectors and the samples that the real guard produced under Wine.
//   # comment
//   [section]
//   key=value
#pragma once

#include <map>
#include <string>

namespace zarnel::serverkit::testing {

using KeyValues = std::map<std::string, std::string>;

// Sections by name; keys before the first [section] go to section "".
// False when the file cannot be read.
bool ReadKeyValueFile(const std::string& path, std::map<std::string, KeyValues>& sections);

}  // namespace zarnel::serverkit::testing
