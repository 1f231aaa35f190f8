// The outcome of one stateless command: its JSON answer and its exit code.
#pragma once

#include "json_fields.h"
#include "verdict.h"

namespace zarnel::serverkit::tool {

using service::BadInput;
using service::Json;

enum ExitCode { kExitAccepted = 0, kExitRejected = 1, kExitBadInput = 2 };

struct CommandResult {
  Json output;
  int exitCode = kExitAccepted;
};

// `accepted` is added only when the verdict accepts.
CommandResult FromVerdict(const Verdict& verdict, const Json& accepted);

}  // namespace zarnel::serverkit::tool
