// The answer to a verdict, alike from the tool and the service: ok, the
// check's name, the detail on rejection, then the call's own fields.
#pragma once

#include "hard_cheat_report.h"
#include "json_fields.h"
#include "verdict.h"

namespace zarnel::serverkit::service {

// `accepted` is added only when the verdict accepts. A repeated verdict
// says so with "repeat": true after the check (and detail).
Json VerdictAnswer(const Verdict& verdict, const Json& accepted);

// The report's fields as found, written whenever it had its 241 bytes.
void AddReportFields(const HardCheatReport& report, bool evidenceChecked, Json& answer);

}  // namespace zarnel::serverkit::service
