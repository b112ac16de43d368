// Arrays in Streams: an array value is stored as an array stream, a Stream of
// kind 32 holding the element type, the bounds ("D1", "G1", ...) and an element
// bag ("@AE#") with one entry per element keyed by its indices ("7", "0.3",
// "-1.0.2"), in row-major order. Arrays nested in Variant arrays are array
// streams of their own, stored as the element's value.
//
// None of these routines throws: each tells failure through its result.
// docs/stream-format.md describes the layout.
#pragma once

#include "replikon/detail/layer_stream.hpp"

#include "replikon/export.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "replikon/automation/safe_array.hpp"
#include "replikon/automation/variant.hpp"

namespace replikon {

// The most dimensions that are encoded.
inline constexpr std::size_t kMaxEncodedDimensions = 5;
// The most dimensions that bounds discovery probes.
inline constexpr std::size_t kMaxProbedDimensions = 10;

// The most levels of arrays nested in Variant arrays below the outermost array.
// An array nested deeper is written like an array of more than 5 dimensions (an
// empty bag, which reads back as Empty in its element), and a crafted Stream
// nested deeper reads back with Empty at that level. This bounds the C stack
// that encoding and decoding use, and the depth of the Variant trees they
// build (whose destruction recurses), whatever the input.
inline constexpr std::size_t kMaxArrayNesting = 64;

// Decoding never allocates out of proportion to its input. A genuine element
// bag has an entry for every element except those the bag refused (object
// references), so an array is rebuilt only when its element count is at most
// the number of entries in its element bag plus the elements it lacks drawn
// from an allowance shared by the whole decode:
//   kMissingElementAllowance + kMissingElementsPerByte * (input bytes).
// An array over the allowance decodes as Null. An element takes up to 40 bytes
// (a Variant), so one missing element per input byte already lets a decode
// allocate 40 times its input; docs/resource-bounds.md has the whole account.
inline constexpr std::uint64_t kMissingElementAllowance = 1024;
inline constexpr std::uint64_t kMissingElementsPerByte = 1;
// A Variant array that held object references has no entry for them, whatever
// their number: once the allowance above is spent, the elements a Variant
// array lacks are drawn from this fixed one, shared like it by the whole
// decode (at most 40 MiB of Empty elements, whatever the input).
inline constexpr std::uint64_t kRefusedElementAllowance = std::uint64_t{1} << 20;

// The dimensions of an array: n = bounds.size().
struct REPLIKON_API ArrayShape {
  std::vector<ArrayBound> bounds;
  std::size_t Dims() const noexcept { return bounds.size(); }
};

// ---- Encoding ----------------------------------------------------------------

// The array stream of an array value; an empty byte vector when `value` is no array.
REPLIKON_API std::vector<std::uint8_t> StreamFromArray(const Variant& value) noexcept;
// An element value as stored: an array becomes the byte array of its array
// stream; anything else passes unchanged.
REPLIKON_API Variant StoredFromValue(const Variant& value) noexcept;

// The bounds of a value (no dimensions when it is no array or has none).
REPLIKON_API ArrayShape ArrayShapeOf(const Variant& value) noexcept;
// The bounds of dimension `dimension` (1-based); false (bounds untouched) when
// the value is no array or has no such dimension.
REPLIKON_API bool DimensionBounds(const Variant& value, std::size_t dimension, std::int32_t& lower,
                                  std::int32_t& upper) noexcept;

// The element key of an index tuple: "7", "0.3", "-1.0.2".
REPLIKON_API std::string ElementKey(std::span<const std::int32_t> index);
// Same, into a buffer the caller reuses.
REPLIKON_API void ElementKey(std::span<const std::int32_t> index, std::string& out);

// ---- Decoding ----------------------------------------------------------------

// The array an array stream holds; Null when the bytes are no array stream or
// the array cannot be rebuilt; Empty when the format version is not 1.
// `expected_type` (a declared type, compared by its low 8 bits) must match the
// recorded element type for a non-empty array.
REPLIKON_API Variant
ArrayFromStream(std::span<const std::uint8_t> bytes,
                std::optional<std::int32_t> expected_type = std::nullopt) noexcept;
// A value read from a bag, as a Variant property receives it: a value that is
// no array unchanged; an array stream rebuilt (Null becomes Empty); any other
// array Empty.
REPLIKON_API Variant ValueFromStored(const Variant& stored) noexcept;
// The bytes of an array value (a byte array); empty when the conversion fails.
REPLIKON_API std::vector<std::uint8_t> BytesFromVariant(const Variant& value) noexcept;

}  // namespace replikon
