// Arrays in Streams: an array value is stored as an array stream, a Stream of
// kind 32 holding the element type, the bounds ("D1", "G1", ...) and an element
// bag ("@AE#") with one entry per element keyed by its indices ("7", "0.3",
// "-1.0.2"), in row-major order. Arrays nested in Variant arrays are array
// streams of their own, stored as the element's value.
//
// None of these routines throws: each tells failure through its result.
#pragma once

#include "replikon/export.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "replikon/automation/chunked_bytes.hpp"
#include "replikon/automation/property_bag.hpp"
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

// The allowance of elements without an entry, for a caller that decodes
// several arrays out of one input and lets them share it, as nested arrays
// share it within one decode. The Stream reader gives every array of one
// object Stream the same allowance, so a Stream of n bytes makes at most
// kMissingElementAllowance + kMissingElementsPerByte * n such elements however
// many array properties it holds.
//
// The allowance also keeps the decoder's working memory from one array to the
// next, so that the arrays of one input, decoded one after another, have their
// bags parsed without allocating.
class REPLIKON_API DecodeAllowance {
 public:
  explicit DecodeAllowance(std::size_t input_bytes) noexcept;
  // Elements that may still be made without an entry.
  std::uint64_t Left() const noexcept { return left_; }
  // Elements of Variant arrays that may still be made without an entry once
  // Left() is spent (kRefusedElementAllowance at the start).
  std::uint64_t RefusedLeft() const noexcept { return refused_left_; }
  // Takes `count` elements without an entry for a Variant array (`variant`)
  // or another array; false, taking nothing, when they are not left.
  bool Draw(std::uint64_t count, bool variant) noexcept;

 private:
  friend Variant ArrayFromStream(std::span<const std::uint8_t>, std::optional<std::int32_t>,
                                 DecodeAllowance&);
  friend Variant ValueFromStored(const Variant&, DecodeAllowance&);
  std::uint64_t left_;
  std::uint64_t refused_left_ = kRefusedElementAllowance;
  // The bags of the outermost array being decoded.
  BagReader array_bag_;
  BagReader element_bag_;
};

// The dimensions of an array: n = bounds.size().
struct REPLIKON_API BoundsTable {
  std::vector<ArrayBound> bounds;
  std::size_t Dims() const noexcept { return bounds.size(); }
};

// ---- Encoding ----------------------------------------------------------------

// The array stream of an array value; an empty byte vector when `value` is no array.
REPLIKON_API std::vector<std::uint8_t> StreamFromArray(const Variant& value) noexcept;
// Appends the array stream of `array` to `out` (the same bytes StreamFromArray
// gives), so that a writer can nest it in place.
REPLIKON_API void AppendStreamFromArray(const SafeArray& array,
                                        std::vector<std::uint8_t>& out) noexcept;
// The same for the Stream writer, which must not hand back a Stream with a
// part missing: when memory runs out it raises std::bad_alloc, with `out` as
// it was.
REPLIKON_API void AppendStreamFromArray(const SafeArray& array, ChunkedBytes& out);

// Appends to `bag` an entry under `key` holding the array stream of `array`
// as a byte array (lower bound 0), as BeginBytes(key), AppendStreamFromArray
// and EndBytes give it, when the array holds fixed-size scalars in 1 to 5
// dimensions: laid out whole, in one piece. False, with nothing written, for
// any other array (or when the entry cannot be had), which the caller writes
// that way. `key` must not view the bag's own buffer. Raises std::bad_alloc,
// with nothing written, when memory runs out.
REPLIKON_API bool AppendArrayEntry(BagWriter& bag, std::string_view key, const SafeArray& array);

// An element value as stored: an array becomes the byte array of its array
// stream; anything else passes unchanged.
REPLIKON_API Variant StoredFromValue(const Variant& value) noexcept;

// The bounds of a value (no dimensions when it is no array or has none).
REPLIKON_API BoundsTable ArrayBoundsTable(const Variant& value) noexcept;
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
// Same, drawing on an allowance shared with other decodes, for the Stream
// reader: bad bytes give the same results, but running out of memory raises
// std::bad_alloc (the form above answers Null).
REPLIKON_API Variant ArrayFromStream(std::span<const std::uint8_t> bytes,
                                     std::optional<std::int32_t> expected_type,
                                     DecodeAllowance& allowance);
// ArrayFromStream for the arrays of fixed-size scalars that the encoder
// writes (one entry per element, in its own layout), straight into `target`,
// for a caller that has no use for a Variant: true when the bytes are such a
// stream that ArrayFromStream decodes to an allocated array, which `target`
// then holds; false, with `target` unchanged, for any other bytes, which
// ArrayFromStream decodes. Draws on no allowance (every element is there).
// Raises std::bad_alloc, with `target` unchanged, when memory runs out.
REPLIKON_API bool WrittenArrayFromStream(std::span<const std::uint8_t> bytes,
                                         std::int32_t expected_type, SafeArray& target);

// A value read from a bag, as a Variant property receives it: a value that is
// no array unchanged; an array stream rebuilt (Null becomes Empty); any other
// array Empty.
REPLIKON_API Variant ValueFromStored(const Variant& stored) noexcept;
// Same, drawing on an allowance shared with other decodes; raises
// std::bad_alloc when memory runs out, as the allowance form of
// ArrayFromStream does.
REPLIKON_API Variant ValueFromStored(const Variant& stored, DecodeAllowance& allowance);

// The bytes of an array value (a byte array); empty when the conversion fails.
REPLIKON_API std::vector<std::uint8_t> BytesFromVariant(const Variant& value) noexcept;

// A new array of the element type with the bounds; without dimensions when
// `empty` is set or the table has no dimension or more than 5. Null for an
// element type outside the decoder's table or bounds that cannot be dimensioned
// (upper below lower, or too many elements). Allocates every element: the
// decoder checks the count against its input before it calls this.
REPLIKON_API Variant NewTypedArray(std::int16_t element_type, const BoundsTable& bounds,
                                   bool empty) noexcept;

// Fills `target` from the array stream's element bag; false when the element
// bag cannot be got. Each element of the bounds table is read under its key
// (absent or unreadable: Empty), passed through ValueFromStored and assigned by
// value; a failing assignment leaves the element as it was.
REPLIKON_API bool FillArrayFromStream(std::span<const std::uint8_t> bytes, Variant& target,
                                      const BoundsTable& bounds) noexcept;

}  // namespace replikon
