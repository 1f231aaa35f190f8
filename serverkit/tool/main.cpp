// zarnel-verify: the server kit's command-line face, for scripts and the
// end-to-end tests that pipe the guard's outputs through it.
#include <cstdio>
#include <iostream>
#include <string>

#include "commands.h"
#include "serve_command.h"
#include "tool_input.h"

namespace {

using zarnel::serverkit::tool::CommandResult;
using zarnel::serverkit::tool::kMaxInputBytes;

// Reads at most one byte more than the limit, so that an endless stream
// is refused instead of filling memory.
bool ReadInput(std::FILE* stream, std::string& text) {
  char buffer[65536];
  while (text.size() <= kMaxInputBytes) {
    const std::size_t got = std::fread(buffer, 1, sizeof buffer, stream);
    text.append(buffer, got);
    if (got < sizeof buffer) return std::ferror(stream) == 0;
  }
  return true;
}

bool ReadAll(int argc, char** argv, std::string& text) {
  if (argc < 3) return ReadInput(stdin, text);
  std::FILE* file = std::fopen(argv[2], "rb");
  if (file == nullptr) return false;
  const bool ok = ReadInput(file, text);
  std::fclose(file);
  return ok;
}

int Answer(const CommandResult& result) {
  std::cout << zarnel::serverkit::service::DumpJson(result.output) << '\n';
  return result.exitCode;
}

}  // namespace

int main(int argc, char** argv) {
  using zarnel::serverkit::tool::BadInputResult;
  if (argc >= 2 && std::string(argv[1]) == "serve") {
    return zarnel::serverkit::tool::RunServeCommand(argc - 2, argv + 2);
  }
  if (argc < 2 || argc > 3) {
    std::cerr << zarnel::serverkit::tool::UsageText();
    return Answer(BadInputResult("expected a command and at most one input file"));
  }
  const std::string command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") {
    std::cout << zarnel::serverkit::tool::UsageText();
    return 0;
  }
  std::string text;
  if (!ReadAll(argc, argv, text)) {
    return Answer(BadInputResult(std::string("cannot read ") + (argc < 3 ? "standard input" : argv[2])));
  }
  if (!zarnel::serverkit::tool::IsCommand(command)) {
    std::cerr << zarnel::serverkit::tool::UsageText();
  }
  return Answer(zarnel::serverkit::tool::RunToolInput(command, text));
}
