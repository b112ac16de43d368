// The parts of the array encoding that the Stream writer and reader use:
// encoding in place into a bag being written, and decoding that shares an
// allowance across the arrays of one input and reports running out of memory.
#pragma once

#include "replikon/detail/layer_stream.hpp"

#include "replikon/export.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "automation/bag_codec.hpp"
#include "automation/chunked_bytes.hpp"
#include "replikon/automation/safe_array.hpp"
#include "replikon/automation/variant.hpp"
#include "replikon/stream/array_encoding.hpp"

namespace replikon {

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

// ---- Encoding ----------------------------------------------------------------

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

// ---- Decoding ----------------------------------------------------------------

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
REPLIKON_API bool ScalarArrayFromStream(std::span<const std::uint8_t> bytes,
                                        std::int32_t expected_type, SafeArray& target);

// Same, drawing on an allowance shared with other decodes; raises
// std::bad_alloc when memory runs out, as the allowance form of
// ArrayFromStream does.
REPLIKON_API Variant ValueFromStored(const Variant& stored, DecodeAllowance& allowance);

// A new array of the element type with the bounds; without dimensions when
// `empty` is set or the table has no dimension or more than 5. Null for an
// element type outside the decoder's table or bounds that cannot be dimensioned
// (upper below lower, or too many elements). Allocates every element: the
// decoder checks the count against its input before it calls this.
REPLIKON_API Variant NewTypedArray(std::int16_t element_type, const ArrayShape& bounds,
                                   bool empty) noexcept;

// Fills `target` from the array stream's element bag; false when the element
// bag cannot be got. Each element of the bounds table is read under its key
// (absent or unreadable: Empty), passed through ValueFromStored and assigned by
// value; a failing assignment leaves the element as it was.
REPLIKON_API bool FillArrayFromStream(std::span<const std::uint8_t> bytes, Variant& target,
                                      const ArrayShape& bounds) noexcept;

}  // namespace replikon
