// Where the running program and the Replikon shared library were loaded from:
// the installed files (the About program, server libraries) are found from there.
#pragma once

#include <filesystem>

namespace replikon::detail {

// The running program's file; empty when it cannot be told.
std::filesystem::path RunningProgram();

// The shared library this code runs in; empty when Replikon is linked into
// the program itself (a static library) or it cannot be told.
std::filesystem::path ThisLibrary(const std::filesystem::path& program);

}  // namespace replikon::detail
