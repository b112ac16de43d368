#include "about/shell_command.hpp"

#include <spawn.h>

#include "about/spawn_options.hpp"

extern char** environ;

namespace replikon::about {
void StartShellCommand(const std::string& command_line) noexcept {
  try {
    // The outer shell puts the command in the background and exits at once;
    // the command is then re-parented to init, which reaps it.
    std::string script = "{ ";
    script += command_line;
    script += "\n} &";
    char sh[] = "sh";
    char dash_c[] = "-c";
    char* argv[] = {sh, dash_c, script.data(), nullptr};
    const NullStreams streams;
    if (streams.get() == nullptr) return;  // never let the command write on the host's terminal
    const DefaultSignals attributes;
    pid_t pid = 0;
    if (posix_spawn(&pid, "/bin/sh", streams.get(), attributes.get(), argv, environ) != 0) return;
    WaitForChild(pid);
  } catch (...) {
    // A command that cannot be started is ignored.
  }
}

}  // namespace replikon::about
