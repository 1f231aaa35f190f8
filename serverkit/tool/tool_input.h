// The whole of one stateless command: raw input bytes in, one JSON answer
// and an exit code out. It never throws, whatever the bytes, so that a
// caller (the command line, the fuzz target) always has an answer to write.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "commands.h"

namespace zarnel::serverkit::tool {

// Far above any real request (a report with its challenges is a few KiB);
// larger input is bad input rather than memory spent on parsing it.
constexpr std::size_t kMaxInputBytes = 1 << 20;

CommandResult RunToolInput(const std::string& command, std::string_view text);

CommandResult BadInputResult(const std::string& detail);

}  // namespace zarnel::serverkit::tool
