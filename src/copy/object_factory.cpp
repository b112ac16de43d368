#include "copy/object_factory.hpp"

#include <cstddef>

#include "automation/out_of_memory.hpp"
#include "replikon/automation/registry.hpp"
#include "replikon/automation/type_info.hpp"

namespace replikon {

bool IsClassName(std::string_view class_name) noexcept {
  if (class_name.empty()) return false;
  for (std::size_t i = 0; i < class_name.size(); ++i) {
    const auto u = static_cast<unsigned char>(class_name[i]);
    if (u <= 0x20 || u == 0x7F || u == '.') return false;
    // U+0080 to U+009F, the second block of control characters, in UTF-8.
    if (u == 0xC2 && i + 1 < class_name.size()) {
      const auto next = static_cast<unsigned char>(class_name[i + 1]);
      if (next >= 0x80 && next <= 0x9F) return false;
    }
  }
  return true;
}

ObjectRef CreateInstance(EngineContext& ctx, std::string_view class_name,
                         std::int32_t& status) noexcept {
  status = kStatusOk;
  if (class_name == kNothing) return {};
  if (!IsClassName(class_name)) {
    ctx.SetCreationFailure(EngineContext::CreationFailure::NoClassName);
    status = errors::kProcessingProblems;
    return {};
  }
  try {
    bool reports_class_name = false;
    ObjectRef instance = ctx.CreateByClassName(class_name, reports_class_name);
    // Only an instance that reports the very class asked for counts as one of
    // the server's own; anything else is released here.
    if (!reports_class_name) {
      ctx.SetCreationFailure(EngineContext::CreationFailure::OtherClass);
      status = errors::kProcessingProblems;
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
    ctx.SetCreationFailure(EngineContext::CreationFailure::Raised, std::current_exception());
    status = errors::kProcessingProblems;
    return {};
  }
}

std::int32_t ClassStatus(EngineContext& ctx, std::string_view class_name) noexcept {
  std::int32_t status = kStatusOk;
  CreateInstance(ctx, class_name, status);  // the probe is released at once
  return status;
}

}  // namespace replikon
