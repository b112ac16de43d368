// Internal to the library: a details text split into one detail a line.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace replikon::detail {

// Appends each non-empty line of `text` to `list`.
void AppendDetailLines(std::vector<std::string>& list, std::string_view text);

}  // namespace replikon::detail
