#include "replikon/copy/object_factory.hpp"

#include "../automation/out_of_memory.hpp"
#include "replikon/automation/registry.hpp"
#include "replikon/automation/type_info.hpp"

namespace replikon {

ObjectRef CreateInstance(EngineContext& ctx, std::string_view class_name,
                         std::int32_t& status) noexcept {
  status = kStatusOk;
  if (class_name == kNothing) return {};
  try {
    bool reports_class_name = false;
    ObjectRef instance = ctx.CreateByClassName(class_name, reports_class_name);
    // Only an instance that reports the very class asked for counts as one of
    // the server's own; anything else is released here.
    if (!reports_class_name) {
      status = kStatusProblem;
      return {};
    }
    return instance;
  } catch (...) {
    // Unknown identifier, a server that cannot load, a class whose
    // initialisation fails: all the same to the caller. Running out of memory
    // is not: it aborts the call.
    if (detail::IsOutOfMemory(std::current_exception())) {
      ctx.AbortOutOfMemory("creating an object");
    }
    status = kStatusProblem;
    return {};
  }
}

std::int32_t ClassStatus(EngineContext& ctx, std::string_view class_name) noexcept {
  std::int32_t status = kStatusOk;
  CreateInstance(ctx, class_name, status);  // the probe is released at once
  return status;
}

}  // namespace replikon
