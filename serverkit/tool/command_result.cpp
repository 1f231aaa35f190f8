#include "command_result.h"

#include "answer_json.h"

namespace zarnel::serverkit::tool {

CommandResult FromVerdict(const Verdict& verdict, const Json& accepted) {
  CommandResult result;
  result.output = service::VerdictAnswer(verdict, accepted);
  result.exitCode = verdict.ok() ? kExitAccepted : kExitRejected;
  return result;
}

}  // namespace zarnel::serverkit::tool
