// The shape every answer of the tool and the service has: ok, a check name,
// a detail exactly on rejection; bad-input exactly when the input was at
// fault. And it can always be written out and read back.
#pragma once

#include <string>

#include "fuzz_check.h"
#include "json_fields.h"

namespace zarnel::serverkit::fuzz {

inline void CheckAnswer(const service::Json& answer, bool badInput) {
  FUZZ_CHECK(answer.is_object());
  FUZZ_CHECK(answer.contains("ok") && answer["ok"].is_boolean());
  FUZZ_CHECK(answer.contains("check") && answer["check"].is_string());
  const bool ok = answer["ok"].get<bool>();
  const std::string check = answer["check"].get<std::string>();
  FUZZ_CHECK(ok == (check == "ok"));
  FUZZ_CHECK(ok || answer.contains("detail"));
  FUZZ_CHECK(badInput == (check == "bad-input"));
  const std::string text = service::DumpJson(answer);
  const service::Json again = service::Json::parse(text, nullptr, /*allow_exceptions=*/false);
  FUZZ_CHECK(!again.is_discarded());
  FUZZ_CHECK(again["check"] == answer["check"]);
}

}  // namespace zarnel::serverkit::fuzz
