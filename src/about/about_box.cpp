#include "replikon/about/about_box.hpp"

#include <spawn.h>
#include <sys/types.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <string_view>
#include <system_error>

#include "spawn_options.hpp"

extern char** environ;

namespace replikon::about {

#ifdef REPLIKON_NO_ABOUT_BOX

void ShowAboutBox() noexcept {}

std::string AboutProgramPath() {
  return {};
}

#else

namespace {

constexpr std::string_view kProgramName = "replikon-about";

bool IsExecutableFile(const std::filesystem::path& path) {
  std::error_code ec;
  return std::filesystem::is_regular_file(path, ec) && access(path.c_str(), X_OK) == 0;
}

std::filesystem::path RunningProgramDirectory() {
  std::error_code ec;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::path() : exe.parent_path();
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
  std::array<std::filesystem::path, 4> candidates;
  if (const auto dir = RunningProgramDirectory(); !dir.empty()) {
    candidates[0] = dir / kProgramName;
    candidates[1] = dir.parent_path() / "libexec" / "replikon" / kProgramName;
  }
#ifdef REPLIKON_ABOUT_INSTALL_PROGRAM
  candidates[2] = REPLIKON_ABOUT_INSTALL_PROGRAM;
#endif
#ifdef REPLIKON_ABOUT_BUILD_PROGRAM
  candidates[3] = REPLIKON_ABOUT_BUILD_PROGRAM;
#endif
  for (const auto& candidate : candidates) {
    if (!candidate.empty() && IsExecutableFile(candidate)) return candidate.string();
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
