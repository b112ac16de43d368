// Internal to the library: the short name of a kind of member access.
#pragma once

#include "replikon/automation/type_info.hpp"

namespace replikon::detail {

// "function", "get", "let" or "set".
const char* InvokeKindText(InvokeKind kind) noexcept;

}  // namespace replikon::detail
