// The stream writer and reader.
#pragma once

#include "replikon/detail/layer_stream.hpp"

#include "replikon/export.hpp"

#include <cstdint>
#include <span>
#include <vector>

#include "copy/engine_context.hpp"
#include "replikon/automation/object_ref.hpp"
#include "replikon/automation/property_bag.hpp"
#include "replikon/automation/safe_array.hpp"

namespace replikon {

// Writes `current` (possibly null) and, as the settings allow, its subobjects
// as one object stream. `parent` is the object whose property holds `current`
// (the source itself at the top). Raises `status` to 601 for a subobject
// problem that counts; never clears it. Never throws.
REPLIKON_API std::vector<std::uint8_t> WriteObject(EngineContext& ctx, const ObjectRef& current,
                                                   const ObjectRef& parent,
                                                   std::int32_t& status) noexcept;

// Rebuilds an object from an object stream into `result`. `parent` is the
// object whose property will hold it (at the top a null reference that the call
// sets to the result); `is_root` marks the top-level call, which also sets the
// context's root object. Raises `status` to 601 or 602; never clears it.
// Never throws.
REPLIKON_API void ReadObject(EngineContext& ctx, std::span<const std::uint8_t> stream,
                             ObjectRef& result, ObjectRef& parent, bool is_root,
                             std::int32_t& status) noexcept;

// The bytes of a byte-array entry, or an unallocated byte array when the entry
// is absent or is not a byte array.
REPLIKON_API SafeArray ReadEntryBytes(const PropertyBag& bag, std::string_view name) noexcept;

// Whether a byte array has no bounds.
REPLIKON_API bool IsUnallocated(const SafeArray& bytes) noexcept;

}  // namespace replikon
