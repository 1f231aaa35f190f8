// The machine identity text from a list of components: name checks, the
// value rules, sorting, repeats and the size limit. The input is a list of
// components, each a selector byte (low four bits: the name, 0x80: primary)
// followed by its value's UTF-16 units up to the unit 0x000A.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "identity/identity_text.h"
#include "system_models.h"

namespace {
// The real names, a few that sort next to them, and names the rule refuses.
const char* const kNames[16] = {
    "machine-guid", "smbios-system-uuid", "smbios-system-serial", "smbios-baseboard-serial",
    "system-volume", "a", "a-", "z9", "machine", "smbios-system-uuid-2", "0", "-",
    "", "Machine-guid", "system volume", "name=x",
};

bool IsValidName(const char* name) {
  if (!*name) return false;
  for (const char* c = name; *c; ++c)
    if (!((*c >= 'a' && *c <= 'z') || (*c >= '0' && *c <= '9') || *c == '-')) return false;
  return true;
}

struct Component {
  uint8_t selector;
  std::vector<wchar_t> value;
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  RestoreWin32Calls();
  std::vector<Component> parsed;
  for (size_t pos = 0; pos < size && parsed.size() < 64;) {
    Component component{data[pos++], {}};
    for (; pos + 1 < size; pos += 2) {
      const wchar_t unit = static_cast<wchar_t>(data[pos] | static_cast<unsigned>(data[pos + 1]) << 8);
      if (unit == L'\n') {
        pos += 2;
        break;
      }
      component.value.push_back(unit);
    }
    if (pos + 1 == size) ++pos;
    parsed.push_back(std::move(component));
  }

  std::vector<IdentityComponent> components;
  for (const Component& c : parsed)
    components.push_back({kNames[c.selector & 0x0F], c.value.data(), c.value.size(), (c.selector & 0x80) != 0});

  // What the text must hold, worked out one value at a time.
  bool namesValid = true;
  std::vector<std::pair<std::string, std::string>> usable;  // name, UTF-8 value
  bool anyPrimary = false;
  for (const IdentityComponent& c : components) {
    namesValid = namesValid && IsValidName(c.name);
    IdentityBytes value;
    if (!NormalizeIdentityValue(c.value, c.valueLength, value)) continue;
    usable.emplace_back(c.name, std::string(reinterpret_cast<const char*>(value.Data()), value.Length()));
    anyPrimary = anyPrimary || c.primary;
  }
  bool repeated = false;
  size_t expectedBytes = 0;
  for (size_t i = 0; i < usable.size(); ++i) {
    expectedBytes += usable[i].first.size() + usable[i].second.size() + 2;
    for (size_t j = 0; j < i; ++j) repeated = repeated || usable[i].first == usable[j].first;
  }
  const bool expectOk = namesValid && usable.size() >= 2 && anyPrimary && !repeated &&
                        expectedBytes <= kIdentityTextMaxBytes;

  IdentityBytes text;
  text.Append("stale", 5);
  const bool ok = SerializeIdentityComponents(components.data(), components.size(), text);
  FUZZ_CHECK(ok == expectOk);
  if (!ok) {
    FUZZ_CHECK(text.Length() == 0);
    return 0;
  }
  FUZZ_CHECK(text.Length() == expectedBytes);

  // Lines "name=value\n" in strictly ascending byte order of the names, each
  // one of the usable components.
  const std::string all(reinterpret_cast<const char*>(text.Data()), text.Length());
  std::string previous;
  size_t lines = 0;
  for (size_t start = 0; start < all.size(); ++lines) {
    const size_t end = all.find('\n', start);
    FUZZ_CHECK(end != std::string::npos);
    const std::string line = all.substr(start, end - start);
    const size_t equals = line.find('=');
    FUZZ_CHECK(equals != std::string::npos);
    const std::string name = line.substr(0, equals);
    FUZZ_CHECK(lines == 0 || std::strcmp(previous.c_str(), name.c_str()) < 0);
    bool found = false;
    for (const auto& u : usable) found = found || (u.first == name && u.second == line.substr(equals + 1));
    FUZZ_CHECK(found);
    previous = name;
    start = end + 1;
  }
  FUZZ_CHECK(lines == usable.size());
  return 0;
}
