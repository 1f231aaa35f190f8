// zarnel-verify: the server kit's command-line face, for scripts and the
// end-to-end tests that pipe the guard's outputs through it.
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>

#include "commands.h"

namespace {

using zarnel::serverkit::tool::BadInput;
using zarnel::serverkit::tool::CommandResult;
using zarnel::serverkit::tool::Json;

bool ReadAll(int argc, char** argv, std::string& text) {
  if (argc < 3) {
    text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    return true;
  }
  std::ifstream file(argv[2], std::ios::binary);
  if (!file) return false;
  std::ostringstream buffer;
  buffer << file.rdbuf();
  text = buffer.str();
  return true;
}

int Fail(const std::string& detail) {
  Json output;
  output["ok"] = false;
  output["check"] = "bad-input";
  output["detail"] = detail;
  std::cout << output.dump() << '\n';
  return zarnel::serverkit::tool::kExitBadInput;
}

bool IsBlank(const std::string& text) {
  return text.find_first_not_of(" \t\r\n") == std::string::npos;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::cerr << zarnel::serverkit::tool::UsageText();
    return Fail("expected a command and at most one input file");
  }
  const std::string command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") {
    std::cout << zarnel::serverkit::tool::UsageText();
    return 0;
  }
  std::string text;
  if (!ReadAll(argc, argv, text)) return Fail(std::string("cannot read ") + argv[2]);

  try {
    // The issue commands take no required field, so an empty input is {}.
    const Json input = IsBlank(text) ? Json::object() : Json::parse(text);
    CommandResult result;
    if (!zarnel::serverkit::tool::RunCommand(command, input, result)) {
      std::cerr << zarnel::serverkit::tool::UsageText();
      return Fail("unknown command \"" + command + "\"");
    }
    std::cout << result.output.dump() << '\n';
    return result.exitCode;
  } catch (const Json::parse_error& error) {
    return Fail(std::string("input is not JSON: ") + error.what());
  } catch (const BadInput& error) {
    return Fail(error.what());
  }
}
