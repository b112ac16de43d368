#include "replikon/control/errors.hpp"

namespace replikon {

AutomationError ControlError(std::int32_t number) {
  switch (number) {
    case kErrServerNotSpecified:
      return AutomationError(number, "ObjectServerName is not specified", kHelpFile, 1600);
    case kErrProcessingProblems:
      return AutomationError(number, "Problem(s) in processing occurred", kHelpFile, 1601);
    case kErrNotAStream:
      return AutomationError(number, "Byte array is not a Stream", kHelpFile, 1602);
    default:
      // Not one of the component's own: the platform's error of that number.
      return AutomationError(number, errors::StandardDescription(number));
  }
}

void RaiseControlError(std::int32_t number) {
  throw ControlError(number);
}

}  // namespace replikon
