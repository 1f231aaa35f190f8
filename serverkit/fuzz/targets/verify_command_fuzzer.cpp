// Every command of zarnel-verify on arbitrary input: the first byte picks
// the command (or an unknown one), the rest is what arrives on standard
// input. The answer is always one JSON object; exit 2 exactly for
// bad-input, 0 exactly for ok.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "answer_check.h"
#include "tool_input.h"

namespace {

const char* const kCommands[] = {
    "issue-login-challenge",    "issue-hard-cheat-challenge", "verify-login-proof",
    "verify-hard-cheat-report", "evidence-digest",            "verify-\xff-unknown",
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace zarnel::serverkit;
  if (size == 0) return 0;
  const std::string command = kCommands[data[0] % (sizeof kCommands / sizeof kCommands[0])];
  const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
  const tool::CommandResult result = tool::RunToolInput(command, input);
  fuzz::CheckAnswer(result.output, result.exitCode == tool::kExitBadInput);
  FUZZ_CHECK(result.exitCode >= 0 && result.exitCode <= 2);
  FUZZ_CHECK((result.exitCode == tool::kExitAccepted) == result.output["ok"].get<bool>());
  return 0;
}
