#include "key_value_file.h"

#include <fstream>

namespace zarnel::serverkit::testing {

bool ReadKeyValueFile(const std::string& path, std::map<std::string, KeyValues>& sections) {
  sections.clear();
  std::ifstream file(path);
  if (!file) return false;
  std::string line, current;
  while (std::getline(file, line)) {
    // Files written under Wine end their lines with CR LF.
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    if (line.front() == '[' && line.back() == ']') {
      current = line.substr(1, line.size() - 2);
      continue;
    }
    const std::size_t eq = line.find('=');
    if (eq != std::string::npos) sections[current][line.substr(0, eq)] = line.substr(eq + 1);
  }
  return true;
}

}  // namespace zarnel::serverkit::testing
