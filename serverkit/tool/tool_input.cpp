#include "tool_input.h"

#include <exception>
#include <new>

namespace zarnel::serverkit::tool {

namespace {

bool IsBlank(std::string_view text) {
  return text.find_first_not_of(" \t\r\n") == std::string_view::npos;
}

}  // namespace

CommandResult BadInputResult(const std::string& detail) {
  CommandResult result;
  result.output["ok"] = false;
  result.output["check"] = "bad-input";
  result.output["detail"] = detail;
  result.exitCode = kExitBadInput;
  return result;
}

CommandResult RunToolInput(const std::string& command, std::string_view text) {
  if (text.size() > kMaxInputBytes) {
    return BadInputResult("input is larger than " + std::to_string(kMaxInputBytes) + " bytes");
  }
  try {
    // The issue commands take no required field, so an empty input is {}.
    const Json input = IsBlank(text) ? Json::object() : Json::parse(text);
    CommandResult result;
    if (!RunCommand(command, input, result)) {
      return BadInputResult("unknown command \"" + command + "\"");
    }
    return result;
  } catch (const Json::parse_error& error) {
    return BadInputResult(std::string("input is not JSON: ") + error.what());
  } catch (const BadInput& error) {
    return BadInputResult(error.what());
  } catch (const Json::exception& error) {
    // A shape the field readers did not foresee; still the input's fault.
    return BadInputResult(std::string("input has an unexpected shape: ") + error.what());
  } catch (const std::bad_alloc&) {
    return BadInputResult("input needs more memory than is available");
  }
}

}  // namespace zarnel::serverkit::tool
