// The tool's subcommands: each maps one JSON request to one JSON answer.
#pragma once

#include <string>

#include "command_result.h"

namespace zarnel::serverkit::tool {

// True for the stateless subcommands RunCommand knows.
bool IsCommand(const std::string& name);

// False when `name` is no subcommand.
bool RunCommand(const std::string& name, const Json& input, CommandResult& result);

const char* UsageText();

}  // namespace zarnel::serverkit::tool
