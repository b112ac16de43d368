// The hash of the library's maps keyed by name, which are looked up by
// std::string_view without making a string. Not API.
#pragma once

#include <cstddef>
#include <functional>
#include <string_view>

namespace replikon::detail {

struct StringHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept {
    return std::hash<std::string_view>{}(s);
  }
};

}  // namespace replikon::detail
