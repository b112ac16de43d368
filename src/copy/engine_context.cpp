#include "replikon/copy/engine_context.hpp"

#include <new>
#include <utility>

#include "replikon/automation/error.hpp"

namespace replikon {

EngineContext::EngineContext(const EngineSettings& settings, const ClassRegistry& registry,
                             RecursionCheckRaiser raise)
    : settings_(&settings), registry_(&registry), raise_(std::move(raise)) {}

bool EngineContext::RaiseRecursionCheck(const ObjectRef& parent, const ObjectRef& current,
                                        std::string_view property, bool cancel,
                                        std::int16_t error_status) noexcept {
  if (Aborted()) return true;
  if (!raise_) return cancel;
  try {
    RecursionCheckArgs args{root_, parent, current, std::string(property), cancel, error_status};
    raise_(args);
    return args.cancel;
  } catch (...) {
    Abort(std::current_exception());
    return true;
  }
}

void EngineContext::Abort(std::exception_ptr error) noexcept {
  if (!handler_error_) handler_error_ = std::move(error);
}

const std::string& EngineContext::ProgId(std::string_view class_name) {
  const std::string& server = settings_->object_server_name;
  prog_id_.clear();
  prog_id_.reserve(server.size() + 1 + class_name.size());
  prog_id_.append(server);
  prog_id_.push_back('.');
  prog_id_.append(class_name);
  return prog_id_;
}

}  // namespace replikon
