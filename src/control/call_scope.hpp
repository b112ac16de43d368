// Internal to the component's sources: the frame of one processing call.
#pragma once

#include <string_view>

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

namespace control_detail {

// The value with leading and trailing space characters (only ' ') removed.
inline std::string_view TrimSpaces(std::string_view value) noexcept {
  const std::size_t first = value.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  const std::size_t last = value.find_last_not_of(' ');
  return value.substr(first, last - first + 1);
}

}  // namespace control_detail

}  // namespace replikon
