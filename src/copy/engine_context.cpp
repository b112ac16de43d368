#include "replikon/copy/engine_context.hpp"

#include <new>
#include <utility>

#include "replikon/automation/error.hpp"

namespace replikon {

EngineContext::EngineContext(const EngineSettings& settings, const ClassRegistry& registry,
                             RecursionCheckRaiser raise, RecursionCheckListening listening)
    : settings_(&settings),
      registry_(&registry),
      raise_(std::move(raise)),
      listening_(std::move(listening)) {}

bool EngineContext::RaiseRecursionCheck(const ObjectRef& parent, const ObjectRef& current,
                                        std::string_view property, bool cancel,
                                        std::int16_t error_status) noexcept {
  if (Aborted()) return true;
  if (!raise_) return cancel;
  try {
    if (listening_ && !listening_()) return cancel;
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

ObjectRef EngineContext::CreateByClassName(std::string_view class_name) {
  // A call meets few classes; the one met last is the likeliest.
  constexpr std::size_t kMaxKnown = 16;
  const std::string& server = settings_->object_server_name;
  const std::uint64_t generation = registry_->Generation();
  const KnownClass* found = nullptr;
  for (std::size_t i = known_.size(); i-- > 0;) {
    const KnownClass& k = known_[i];
    if (k.class_name == class_name && k.server == server && k.generation == generation) {
      found = &k;
      break;
    }
  }
  if (found == nullptr) {
    if (known_.size() == kMaxKnown) known_.erase(known_.begin());
    known_.push_back(KnownClass{server, std::string(class_name),
                                registry_->FindDefinition(ProgId(class_name)), generation});
    found = &known_.back();
  }
  if (found->definition == nullptr) errors::Raise(errors::kCannotCreateObject);
  return ClassRegistry::Instantiate(*found->definition);
}

}  // namespace replikon
