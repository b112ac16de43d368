// The component's own errors.
#pragma once

#include "replikon/export.hpp"

#include <cstdint>

#include "replikon/automation/error.hpp"

namespace replikon {

inline constexpr const char* kHelpFile = "replictl.hlp";

inline constexpr std::int32_t kErrServerNotSpecified = 600;  // "ObjectServerName is not specified"
inline constexpr std::int32_t kErrProcessingProblems = 601;  // "Problem(s) in processing occurred"
inline constexpr std::int32_t kErrNotAStream = 602;          // "Byte array is not a Stream"

// The component's error for 600, 601 or 602, with its description, help file
// and help context (1600, 1601, 1602), and no source.
REPLIKON_API AutomationError ControlError(std::int32_t number);
[[noreturn]] REPLIKON_API void RaiseControlError(std::int32_t number);

}  // namespace replikon
