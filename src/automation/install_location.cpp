#include "automation/install_location.hpp"

#include <dlfcn.h>

#include <system_error>

namespace replikon::detail {

namespace {

// An object of this library, whose address tells which file it was loaded from.
const char kLoadedFrom = 0;

}  // namespace

std::filesystem::path RunningProgram() {
  std::error_code ec;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::path() : exe;
}

std::filesystem::path ThisLibrary(const std::filesystem::path& program) {
  Dl_info info{};
  if (dladdr(&kLoadedFrom, &info) == 0 || info.dli_fname == nullptr || *info.dli_fname == '\0') {
    return {};
  }
  std::error_code ec;
  auto library = std::filesystem::canonical(info.dli_fname, ec);
  if (ec) return {};
  if (!program.empty() && std::filesystem::equivalent(library, program, ec)) return {};
  return library;
}

}  // namespace replikon::detail
