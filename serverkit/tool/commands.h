// The tool's subcommands: each maps one JSON request to one JSON answer.
#pragma once

#include <string>

#include "json_fields.h"

namespace zarnel::serverkit::tool {

enum ExitCode { kExitAccepted = 0, kExitRejected = 1, kExitBadInput = 2 };

struct CommandResult {
  Json output;
  int exitCode = kExitAccepted;
};

// False when `name` is no subcommand.
bool RunCommand(const std::string& name, const Json& input, CommandResult& result);

const char* UsageText();

}  // namespace zarnel::serverkit::tool
