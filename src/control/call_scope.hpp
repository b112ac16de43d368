// Internal to the component's sources: the frame of one processing call.
#pragma once

#include "replikon/detail/layer_control.hpp"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "copy/engine_context.hpp"
#include "replikon/automation/error.hpp"
#include "replikon/control/replikon.hpp"

namespace replikon {

// Makes `ctx` the component's call under way (so RootObject() reports its
// root) and, when the call ends on any path, releases its root object and
// restores the call that was under way before (a processing call made from
// inside a RecursionCheck handler).
class Replikon::CallScope {
 public:
  CallScope(Replikon& owner, EngineContext& ctx) noexcept
      : owner_(owner), ctx_(ctx), outer_(owner.active_) {
    owner_.active_ = &ctx_;
  }
  ~CallScope() {
    ctx_.SetRoot(nullptr);
    owner_.active_ = outer_;
  }
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;

 private:
  Replikon& owner_;
  EngineContext& ctx_;
  EngineContext* outer_;
};

namespace detail {

// Counts the processing calls under way on this thread, those of every
// component: a call made from a RecursionCheck handler runs on top of the
// call that raised the event, so each nested call takes the stack of a whole
// call more. Past Replikon::kMaxNestedCalls the call is refused with 28 "Out
// of stack space" before it does anything; the calls under way go on.
class NestingGuard {
 public:
  explicit NestingGuard(std::string_view member) {
    if (depth_ >= Replikon::kMaxNestedCalls) {
      std::string details(member);
      details += " called while ";
      details += std::to_string(Replikon::kMaxNestedCalls);
      details += " processing calls are under way on this thread";
      throw AutomationError(errors::kOutOfStackSpace,
                            errors::StandardDescription(errors::kOutOfStackSpace), {}, 0, {},
                            std::move(details));
    }
    ++depth_;
  }
  ~NestingGuard() { --depth_; }
  NestingGuard(const NestingGuard&) = delete;
  NestingGuard& operator=(const NestingGuard&) = delete;

 private:
  static inline thread_local int depth_ = 0;
};

// The value with leading and trailing space characters (only ' ') removed.
inline std::string_view TrimSpaces(std::string_view value) noexcept {
  const std::size_t first = value.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  const std::size_t last = value.find_last_not_of(' ');
  return value.substr(first, last - first + 1);
}

// Raises 601 "Problem(s) in processing occurred" with the problems met as its
// details; when the server `server` could not be had at all, the details end
// with why (ClassRegistry::SupplyFailure).
[[noreturn]] void RaiseProcessingProblems(const ClassRegistry& registry, std::string_view server,
                                          std::vector<std::string> problems);

}  // namespace detail

}  // namespace replikon
