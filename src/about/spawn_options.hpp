// Starting and waiting for child processes: RAII wrappers for posix_spawn's
// options, and a wait that leaves the host's other children alone. Shared by
// the About box launcher and the link opener.
#pragma once

#include "replikon/detail/layer_about.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>

#include <sys/types.h>
#include <sys/wait.h>

#include <cerrno>
#include <csignal>
#include <ctime>
#include <initializer_list>

namespace replikon::about {

// File actions that put the child's standard streams on /dev/null.
class NullStreams {
 public:
  NullStreams() noexcept {
    initialized_ = posix_spawn_file_actions_init(&actions_) == 0;
    ok_ = initialized_ &&
          posix_spawn_file_actions_addopen(&actions_, 0, "/dev/null", O_RDONLY, 0) == 0 &&
          posix_spawn_file_actions_addopen(&actions_, 1, "/dev/null", O_WRONLY, 0) == 0 &&
          posix_spawn_file_actions_adddup2(&actions_, 1, 2) == 0;
  }
  ~NullStreams() {
    if (initialized_) posix_spawn_file_actions_destroy(&actions_);
  }
  NullStreams(const NullStreams&) = delete;
  NullStreams& operator=(const NullStreams&) = delete;

  // nullptr when the actions could not be set up.
  const posix_spawn_file_actions_t* get() const noexcept { return ok_ ? &actions_ : nullptr; }

 private:
  posix_spawn_file_actions_t actions_{};
  bool initialized_ = false;
  bool ok_ = false;
};

// Attributes that give the child an empty signal mask and default handling of
// the signals a host commonly ignores or catches, whatever the host has set.
class DefaultSignals {
 public:
  DefaultSignals() noexcept {
    initialized_ = posix_spawnattr_init(&attr_) == 0;
    if (!initialized_) return;
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (const int sig : {SIGPIPE, SIGCHLD, SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
      sigaddset(&defaults, sig);
    }
    ok_ = posix_spawnattr_setsigmask(&attr_, &none) == 0 &&
          posix_spawnattr_setsigdefault(&attr_, &defaults) == 0 &&
          posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) == 0;
  }
  ~DefaultSignals() {
    if (initialized_) posix_spawnattr_destroy(&attr_);
  }
  DefaultSignals(const DefaultSignals&) = delete;
  DefaultSignals& operator=(const DefaultSignals&) = delete;

  // nullptr when the attributes could not be set up.
  const posix_spawnattr_t* get() const noexcept { return ok_ ? &attr_ : nullptr; }

 private:
  posix_spawnattr_t attr_{};
  bool initialized_ = false;
  bool ok_ = false;
};

// Whether children of this process are reaped by the kernel as they end.
inline bool ChildrenReapedAutomatically() {
  struct sigaction current {};
  if (sigaction(SIGCHLD, nullptr, &current) != 0) return false;
  return current.sa_handler == SIG_IGN || (current.sa_flags & SA_NOCLDWAIT) != 0;
}

// Returns once the child has ended.
inline void WaitForChild(pid_t pid) {
  if (ChildrenReapedAutomatically()) {
    // waitpid would wait for every child of the host; watch this one instead.
    // The kernel reaps it as it ends, and then it no longer exists.
    while (kill(pid, 0) == 0) {
      timespec pause{0, 50'000'000};
      nanosleep(&pause, nullptr);
    }
    return;
  }
  // ECHILD (a host that reaps its children itself) also means the child is gone.
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace replikon::about
