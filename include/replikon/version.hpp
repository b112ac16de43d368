// Replikon's version. The numbers are checked against the CMake project version
// when the build is configured, so the two cannot drift apart.
#pragma once

#include <string_view>

namespace replikon {

inline constexpr int kVersionMajor = 1;
inline constexpr int kVersionMinor = 0;
inline constexpr int kVersionPatch = 0;
inline constexpr std::string_view kVersionString = "1.0.0";

}  // namespace replikon
