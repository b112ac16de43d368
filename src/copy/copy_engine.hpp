// The copy engine and the late-bound property access shared by all engines.
#pragma once

#include "replikon/detail/layer_copy.hpp"

#include "replikon/export.hpp"

#include <cstdint>
#include <string_view>

#include "copy/engine_context.hpp"
#include "replikon/automation/object_ref.hpp"
#include "replikon/automation/type_info.hpp"
#include "replikon/automation/variant.hpp"

namespace replikon {

// Whether the property currently holds an object reference (a null reference
// included). False when the get fails or yields anything else. Never throws.
REPLIKON_API bool IsObjectValued(const ObjectRef& object, std::string_view name) noexcept;

// Assigns a property: kind 4 (let) or 8 (set) through InvokeByName; any other
// kind calls nothing and gives true. False when the assignment failed. Never throws.
REPLIKON_API bool SetPropertyByName(const ObjectRef& object, std::string_view name,
                                    const Variant& value, InvokeKind kind) noexcept;

// Copies the properties of `source` into `target` (a fresh instance of the same
// class), subobjects by recursion into new instances from the factory. `parent`
// is the object whose property led here (the source itself at the top).
// Sets `status` to 0 or 601. Never throws; an exception from a RecursionCheck
// handler aborts the walk and is kept in the context.
REPLIKON_API void CopyProperties(EngineContext& ctx, const ObjectRef& source,
                                 const ObjectRef& target, const ObjectRef& parent,
                                 std::int32_t& status) noexcept;

}  // namespace replikon
