// Starting a command line through the shell, detached from the caller.
#pragma once

#if defined(REPLIKON_LAYER_AUTOMATION) || defined(REPLIKON_LAYER_COPY) || \
    defined(REPLIKON_LAYER_STREAM)
#error "about/ is above this subsystem: only the component starts the About box"
#endif

#include <functional>
#include <string>

namespace replikon::about {

// Starts a command line; replaceable so that tests can see what would be run.
using CommandStarter = std::function<void(const std::string& command_line)>;

// Runs the command line with /bin/sh in the background, with its standard
// streams on /dev/null, and returns without waiting for it. The shell that
// starts it is reaped at once and the command itself is handed to init, so no
// child of the caller is left behind and the caller's own SIGCHLD handling is
// not disturbed. A command that cannot be started is ignored.
void StartShellCommand(const std::string& command_line) noexcept;

}  // namespace replikon::about
