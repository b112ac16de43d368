// Starting a command line through the shell, detached from the caller.
#pragma once

#include "replikon/detail/layer_about.hpp"

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
