// The component's own errors.
#pragma once

#include "replikon/detail/layer_control.hpp"

#include "replikon/export.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "replikon/automation/error.hpp"

namespace replikon {

inline constexpr const char* kHelpFile = "replictl.hlp";

// The component's error for 600, 601, 602 or 603, with its description, help
// file and help context (1600, 1601, 1602, 1603), and no source.
REPLIKON_API AutomationError ControlError(std::int32_t number);
// The same with details: for 601 the problems met, for 602 why the bytes are
// no Stream and where.
REPLIKON_API AutomationError ControlError(std::int32_t number, std::vector<std::string> details);
[[noreturn]] REPLIKON_API void RaiseControlError(std::int32_t number);

// Error 603 for a call stopped by the limit `setting` ("MaxObjects",
// "MaxDepth") set to `value`: its details name them.
REPLIKON_API AutomationError ProcessingLimitError(std::string_view setting, std::int32_t value);

}  // namespace replikon
