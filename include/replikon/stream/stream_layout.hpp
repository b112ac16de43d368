// The layout of a Stream: its header word and the routines that read a
// Stream's header without rebuilding anything.
//
// A Stream is the serialised contents of one property bag. Its "@SF#" entry is
// the header word; an object stream also has "@OT#" (the class name), an array
// stream "D1"/"G1"... and "@AE#".
#pragma once

#include "replikon/detail/layer_stream.hpp"

#include "replikon/export.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "replikon/automation/property_bag.hpp"

namespace replikon {

// Marker keys.
inline constexpr std::string_view kHeaderKey = "@SF#";
inline constexpr std::string_view kClassNameKey = "@OT#";
inline constexpr std::string_view kElementsKey = "@AE#";
// In a graph stream: an object's number ("@ID#"), and the number of the
// object a reference stream points to ("@RF#").
inline constexpr std::string_view kObjectIdKey = "@ID#";
inline constexpr std::string_view kReferenceKey = "@RF#";

// Stream kinds, stored in place in bits 4..7 of the header word.
inline constexpr std::int16_t kObjectStreamKind = 16;
inline constexpr std::int16_t kArrayStreamKind = 32;
inline constexpr std::int16_t kFormatVersion = 1;
// The outermost object stream of a graph stream, which numbers its objects and
// may refer back to them: a kind of its own, so that a reader that does not
// know it refuses the Stream rather than rebuild part of the graph.
inline constexpr std::int16_t kGraphStreamKind = 80;
// A nested stream of a graph stream standing for an object written before it.
inline constexpr std::int16_t kReferenceStreamKind = 96;

// Header word masks.
inline constexpr std::int32_t kVersionMask = 0x0000000F;
inline constexpr std::int32_t kKindMask = 0x000000F0;
inline constexpr std::int32_t kReservedFlag = 0x00000100;
inline constexpr std::int32_t kEmptyFlag = 0x00000200;
inline constexpr std::int32_t kDimensionsMask = 0x000F0000;
inline constexpr std::int32_t kElementTypeMask = static_cast<std::int32_t>(0xFF000000u);

// The inputs of PackStreamHeader; each one that is given overrides its field
// of the base word (0 when no base is given). Every given input is kept to its
// own field: the version to bits 0..3, the kind to bits 4..7, the dimension
// count (x 65536) to bits 16..19 and the element type (x 16777216, as a 32-bit
// integer) to bits 24..31, so that an out-of-range input never spills into a
// neighbouring field.
struct REPLIKON_API StreamHeaderFields {
  std::optional<std::int32_t> base;
  std::optional<std::int16_t> version;
  std::optional<std::int16_t> kind;  // in place: 16 or 32
  std::optional<bool> empty;
  std::optional<bool> reserved;
  std::optional<std::int16_t> dimensions;
  std::optional<std::int16_t> element_type;
};

REPLIKON_API std::int32_t PackStreamHeader(const StreamHeaderFields& fields) noexcept;

struct REPLIKON_API StreamHeader {
  std::int16_t version = 0;
  std::int16_t kind = 0;
  bool empty = false;
  bool reserved = false;
  std::int16_t dimensions = 0;
  std::int16_t element_type = 0;  // computed on the signed word: 128..255 give -128..-1
};

// Inline: the readers unpack a header for every object and array, and a
// call would hand the fields back through memory.
constexpr StreamHeader UnpackStreamHeader(std::int32_t word) noexcept {
  StreamHeader h;
  h.version = static_cast<std::int16_t>(word & kVersionMask);
  h.kind = static_cast<std::int16_t>(word & kKindMask);
  h.reserved = (word & kReservedFlag) == kReservedFlag;
  h.empty = (word & kEmptyFlag) == kEmptyFlag;
  h.dimensions = static_cast<std::int16_t>((word & kDimensionsMask) / 65536);
  // On the signed word: 0x80000000..0xFF000000 give -128..-1.
  h.element_type = static_cast<std::int16_t>((word & kElementTypeMask) / 16777216);
  return h;
}

// ---- Inspection of raw bytes (each loads the bag itself; none throws) -------

REPLIKON_API bool LoadsAsBag(std::span<const std::uint8_t> bytes) noexcept;
// 16 (object stream, a graph stream included), 32 (array stream) or 0.
REPLIKON_API std::int16_t StreamKind(std::span<const std::uint8_t> bytes) noexcept;
// The bytes load as a bag whose "@SF#" entry converts to a 32-bit integer of kind 16.
REPLIKON_API bool IsObjectStream(std::span<const std::uint8_t> bytes) noexcept;
// The "@OT#" value; "Nothing" when absent or empty and the empty flag is set; "" otherwise.
REPLIKON_API std::string StreamClassName(std::span<const std::uint8_t> bytes) noexcept;
// The header word's empty flag.
REPLIKON_API bool StreamHoldsNothing(std::span<const std::uint8_t> bytes) noexcept;

// ---- The same answers from a bag parsed once --------------------------------

// What the inspection routines say of one Stream, computed from one parse.
struct REPLIKON_API StreamInfo {
  bool loads_as_bag = false;
  std::int16_t kind = 0;          // StreamKind (16 for a graph stream too)
  bool graph = false;             // the outermost object stream of a graph stream
  bool is_object_stream = false;  // IsObjectStream
  std::string class_name;         // StreamClassName
  bool holds_nothing = false;     // StreamHoldsNothing
  StreamHeader header;            // "@SF#" read with default 0 and unpacked
  // Memory ran out while the Stream was read: the answers above are not to be
  // trusted (they may say "no Stream" of a good one).
  bool out_of_memory = false;
};

// All of the answers above from one parse of `bytes`.
REPLIKON_API StreamInfo InspectStream(std::span<const std::uint8_t> bytes) noexcept;

// Why bytes are not a Stream, and where: the offset of the byte, entry or
// value at fault (0 for the bag's header, or when something is missing).
struct REPLIKON_API StreamFault {
  std::string reason;
  std::size_t offset = 0;
};

// Why `bytes` are not an object Stream (with `arrays_too`, not a Stream of
// either kind); nullopt when they are one. Raises std::bad_alloc only.
REPLIKON_API std::optional<StreamFault> DiagnoseStream(std::span<const std::uint8_t> bytes,
                                                       bool arrays_too = false);
// "<reason> (offset N)", N counted from `base`, where the bytes diagnosed
// start in a larger whole. A reason that names its offset already ("truncated
// entry 3 at offset 40") gets no second one when `base` is 0.
REPLIKON_API std::string FaultText(const StreamFault& fault, std::size_t base = 0);

}  // namespace replikon
