// The object factory: every new object of a client class is made here, from
// the server that ObjectServerName names.
#pragma once

#include "replikon/detail/layer_copy.hpp"

#include "replikon/export.hpp"

#include <cstdint>
#include <string_view>

#include "copy/engine_context.hpp"
#include "replikon/automation/object_ref.hpp"

namespace replikon {

// The reserved class name of a null reference.
inline constexpr std::string_view kNothing = "Nothing";

// Whether `class_name` can name a class of a server: not empty, and without a
// point, a space or a control character. A point would join the name to the
// server's name as another identifier ("A.B" under server "S" is "S.A.B", a
// class "B" of a server "S.A"), so such a name, as it comes from a Stream or a
// foreign object, is refused before anything is looked up or created.
REPLIKON_API bool IsClassName(std::string_view class_name) noexcept;

// A new instance of `class_name` from ObjectServerName, checked to report that
// same class name. "Nothing" gives a null reference with status 0. A name that
// is no class name (IsClassName) and any failure give a null reference with
// status 601; when memory runs out the call is aborted besides
// (EngineContext::AbortOutOfMemory). Never throws.
REPLIKON_API ObjectRef CreateInstance(EngineContext& ctx, std::string_view class_name,
                                      std::int32_t& status) noexcept;

// Whether `class_name` can be made from ObjectServerName: CreateInstance, the
// instance released at once (so the class's initialisation and termination
// run once). 0 or 601. Never throws.
REPLIKON_API std::int32_t ClassStatus(EngineContext& ctx, std::string_view class_name) noexcept;

}  // namespace replikon
