// ShowAboutBox: Replikon's About window, as the component's clients call it.
#pragma once

#include "replikon/detail/layer_about.hpp"

#include "replikon/export.hpp"

#include <string>

namespace replikon::about {

// Shows the About box modally: returns when the user has closed it. The window
// runs in the separate program replikon-about, so the caller needs no GUI
// library and a missing or broken display cannot harm it. Returns at once
// when there is no display (DISPLAY unset or empty), when the program cannot be
// found or started, or when the About box was left out of the build; any
// failure is ignored.
REPLIKON_API void ShowAboutBox() noexcept;

// The program ShowAboutBox runs: $REPLIKON_ABOUT_PROGRAM when set and not
// empty; else the first executable replikon-about found in libexec/replikon/
// beside the folder of the shared library itself, beside the running program,
// in libexec/replikon/ beside the running program's folder, in the folder an
// install of a static library gave its CMake package's clients, or in the
// install location chosen when the library was configured. "" when none is found or
// the About box was left out of the build.
REPLIKON_API std::string AboutProgramPath();

}  // namespace replikon::about
