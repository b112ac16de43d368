#include "replikon/about/about_box.hpp"

#include <spawn.h>
#include <sys/types.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <string_view>
#include <system_error>

#include "about/spawn_options.hpp"
#include "automation/install_location.hpp"

extern char** environ;

#if defined(REPLIKON_STATIC) && !defined(REPLIKON_NO_ABOUT_BOX)
// An installed static library's CMake package compiles this into the client
// (replikon_about_location.cpp, written by `cmake --install`): the folder the
// About program was installed in. Null when the client was built otherwise.
extern "C" __attribute__((weak)) const char* replikon_about_install_dir();
#endif

namespace replikon::about {

#ifdef REPLIKON_NO_ABOUT_BOX

void ShowAboutBox() noexcept {}

std::string AboutProgramPath() {
  return {};
}

#else

// The build gives the program's folder relative to the library's and the
// programs' folders; these are the default install layout.
#ifndef REPLIKON_ABOUT_FROM_LIBRARY
#define REPLIKON_ABOUT_FROM_LIBRARY "../libexec/replikon"
#endif
#ifndef REPLIKON_ABOUT_FROM_PROGRAM
#define REPLIKON_ABOUT_FROM_PROGRAM "../libexec/replikon"
#endif

namespace {

constexpr std::string_view kProgramName = "replikon-about";

bool IsExecutableFile(const std::filesystem::path& path) {
  std::error_code ec;
  return std::filesystem::is_regular_file(path, ec) && access(path.c_str(), X_OK) == 0;
}

bool HaveDisplay() {
  const char* display = std::getenv("DISPLAY");
  return display != nullptr && *display != '\0';
}

}  // namespace

std::string AboutProgramPath() {
  if (const char* chosen = std::getenv("REPLIKON_ABOUT_PROGRAM"); chosen && *chosen) {
    return chosen;
  }
  // The program is installed (and built) at a fixed place relative to the
  // library and to the programs: libexec/replikon/ beside lib/ and bin/.
  std::array<std::filesystem::path, 5> candidates;
  const std::filesystem::path program = detail::RunningProgram();
  if (const auto library = detail::ThisLibrary(program); !library.empty()) {
    candidates[0] = library.parent_path() / REPLIKON_ABOUT_FROM_LIBRARY / kProgramName;
  }
  if (!program.empty()) {
    candidates[1] = program.parent_path() / kProgramName;
    candidates[2] = program.parent_path() / REPLIKON_ABOUT_FROM_PROGRAM / kProgramName;
  }
#ifdef REPLIKON_STATIC
  if (replikon_about_install_dir != nullptr) {
    if (const char* dir = replikon_about_install_dir(); dir != nullptr && *dir != '\0') {
      candidates[3] = std::filesystem::path(dir) / kProgramName;
    }
  }
#endif
#ifdef REPLIKON_ABOUT_INSTALL_DIR
  candidates[4] = std::filesystem::path(REPLIKON_ABOUT_INSTALL_DIR) / kProgramName;
#endif
  for (const auto& candidate : candidates) {
    if (!candidate.empty() && IsExecutableFile(candidate)) {
      return candidate.lexically_normal().string();
    }
  }
  return {};
}

void ShowAboutBox() noexcept {
  try {
    if (!HaveDisplay()) return;
    std::string program = AboutProgramPath();
    if (program.empty()) return;
    const NullStreams streams;
    const DefaultSignals signals;
    std::string name(kProgramName);
    char* argv[] = {name.data(), nullptr};
    pid_t pid = 0;
    if (posix_spawn(&pid, program.c_str(), streams.get(), signals.get(), argv, environ) != 0) {
      return;
    }
    // Modal: wait for this child alone, however long the user keeps the box open.
    WaitForChild(pid);
  } catch (...) {
    // Showing the About box is best effort.
  }
}

#endif

}  // namespace replikon::about
