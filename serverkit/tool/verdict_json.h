// The answer of a command or a service call: ok, the check's name, the
// detail on rejection, then the command's own fields.
#pragma once

#include "hard_cheat_report.h"
#include "json_fields.h"
#include "verdict.h"

namespace zarnel::serverkit::tool {

enum ExitCode { kExitAccepted = 0, kExitRejected = 1, kExitBadInput = 2 };

struct CommandResult {
  Json output;
  int exitCode = kExitAccepted;
};

// `accepted` is added only when the verdict accepts.
CommandResult FromVerdict(const Verdict& verdict, const Json& accepted);

// The report's fields as found, written whenever it had its 241 bytes.
void AddReportFields(const HardCheatReport& report, bool evidenceChecked, Json& output);

}  // namespace zarnel::serverkit::tool
