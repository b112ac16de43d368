#include "replikon/control/errors.hpp"

#include <string>
#include <utility>

#include "automation/detail_lines.hpp"
#include "control/call_scope.hpp"

namespace replikon {

AutomationError ControlError(std::int32_t number) {
  switch (number) {
    case errors::kServerNotSpecified:
      return AutomationError(number, "ObjectServerName is not specified", kHelpFile, 1600);
    case errors::kProcessingProblems:
      return AutomationError(number, "Problem(s) in processing occurred", kHelpFile, 1601);
    case errors::kNotAStream:
      return AutomationError(number, "Byte array is not a Stream", kHelpFile, 1602);
    case errors::kProcessingLimit:
      return AutomationError(number, "Processing limit exceeded", kHelpFile, 1603);
    default:
      // Not one of the component's own: the platform's error of that number.
      return AutomationError(number, errors::StandardDescription(number));
  }
}

AutomationError ControlError(std::int32_t number, std::vector<std::string> details) {
  AutomationError plain = ControlError(number);
  return AutomationError(number, plain.Description(), plain.HelpFile(), plain.HelpContext(), {},
                         std::move(details));
}

AutomationError ProcessingLimitError(std::string_view setting, std::int32_t value) {
  AutomationError plain = ControlError(errors::kProcessingLimit);
  // "the call needs more objects than MaxObjects (1000)".
  std::string details =
      setting == "MaxDepth" ? "the graph goes deeper than " : "the call needs more objects than ";
  details += setting;
  details += " (";
  details += std::to_string(value);
  details += ")";
  return AutomationError(errors::kProcessingLimit, plain.Description(), plain.HelpFile(),
                         plain.HelpContext(), {}, std::move(details));
}

void RaiseControlError(std::int32_t number) {
  throw ControlError(number);
}

namespace detail {

void RaiseProcessingProblems(const ClassRegistry& registry, std::string_view server,
                             std::vector<std::string> problems) {
  // When the server itself could not be found, why: every place tried, a
  // line each.
  if (!registry.HasServer(server)) {
    AppendDetailLines(problems, registry.SupplyFailure(server));
  }
  throw ControlError(errors::kProcessingProblems, std::move(problems));
}

}  // namespace detail

}  // namespace replikon
