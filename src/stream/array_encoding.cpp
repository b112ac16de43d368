#include "replikon/stream/array_encoding.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

#include "automation/bag_codec.hpp"
#include "automation/byte_order.hpp"
#include "automation/out_of_memory.hpp"
#include "replikon/stream/stream_layout.hpp"
#include "stream/array_codec.hpp"
#include "stream/parsed_stream.hpp"

namespace replikon {

namespace {

constexpr std::int16_t kArrayFormatVersion = 1;

// ---- Element types -------------------------------------------------------------

// The element types that the decoder rebuilds.
bool IsRebuiltType(std::int16_t element_type) noexcept {
  switch (element_type) {
    case Code(VarType::I2):
    case Code(VarType::I4):
    case Code(VarType::R4):
    case Code(VarType::R8):
    case Code(VarType::Cy):
    case Code(VarType::Date):
    case Code(VarType::BStr):
    case Code(VarType::Bool):
    case Code(VarType::Variant):
    case Code(VarType::Decimal):
    case Code(VarType::UI1):
      return true;
    default:
      return false;
  }
}

// The array's element type for a recorded one: there is no array of
// decimals, so decimals come back in a Variant array.
VarType RebuiltElementType(std::int16_t element_type) noexcept {
  return element_type == Code(VarType::Decimal) ? VarType::Variant
                                                : static_cast<VarType>(element_type);
}

// ---- Runs of fixed-size scalars -----------------------------------------------------
//
// Arrays of fixed-size scalars are the common case and have one payload layout
// per array, so they are encoded and decoded without a Variant per element:
// the same entries, byte for byte, as the general path gives.

// Adds one to the decimal digits [first, first + n); false when they were all
// nines and are now all zeros, so that the number needs one digit more.
inline bool AddOneToDigits(char* first, std::size_t n) noexcept {
  for (std::size_t i = n; i-- > 0;) {
    if (first[i] != '9') {
      ++first[i];
      return true;
    }
    first[i] = '0';
  }
  return false;
}

// The element keys of a bounds table of 1 to kMaxEncodedDimensions
// dimensions, in row-major order. Each key is made from the one before: mostly
// only the last index changes, by one, and only its digits are written again.
class ElementKeyWalker {
 public:
  explicit ElementKeyWalker(std::span<const ArrayBound> bounds) noexcept : bounds_(bounds) {
    for (std::size_t d = 0; d < bounds.size(); ++d) index_[d] = bounds[d].lower;
    Rebuild();
  }
  std::string_view Key() const noexcept { return std::string_view(text_.data(), size_); }
  void Next() noexcept {
    const std::size_t last = bounds_.size() - 1;
    if (index_[last] < bounds_[last].upper) {
      const std::int32_t now = ++index_[last];
      if (now > 0) {
        IncrementDigits();
      } else {
        size_ = static_cast<std::size_t>(
            std::to_chars(text_.data() + prefix_, text_.data() + text_.size(), now).ptr -
            text_.data());
      }
      return;
    }
    index_[last] = bounds_[last].lower;
    for (std::size_t d = last; d-- > 0;) {
      if (index_[d] < bounds_[d].upper) {
        ++index_[d];
        break;
      }
      index_[d] = bounds_[d].lower;
    }
    Rebuild();
  }

 private:
  void Rebuild() noexcept {
    char* end = text_.data();
    prefix_ = 0;
    for (std::size_t d = 0; d < bounds_.size(); ++d) {
      if (d != 0) {
        *end++ = '.';
        prefix_ = static_cast<std::size_t>(end - text_.data());
      }
      end = std::to_chars(end, text_.data() + text_.size(), index_[d]).ptr;
    }
    size_ = static_cast<std::size_t>(end - text_.data());
  }
  // Adds one to the last index's digits, which show a number of at least 0.
  void IncrementDigits() noexcept {
    char* const first = text_.data() + prefix_;
    if (AddOneToDigits(first, size_ - prefix_)) return;
    *first = '1';  // 9...9 became 10...0
    text_[size_++] = '0';
  }

  std::span<const ArrayBound> bounds_;
  std::array<std::int32_t, kMaxEncodedDimensions> index_{};
  std::array<char, kMaxEncodedDimensions * 12> text_{};
  std::size_t prefix_ = 0;  // where the last index's digits start
  std::size_t size_ = 0;
};

// The payload of one fixed-size scalar as the bag stores it, both ways.
template <class T>
struct ScalarCodec;
template <>
struct ScalarCodec<std::int16_t> {
  static constexpr VarType kType = VarType::I2;
  static constexpr std::size_t kSize = 2;
  static void Put(std::uint8_t* p, std::int16_t v) {
    detail::StoreU16(p, static_cast<std::uint16_t>(v));
  }
  static std::int16_t Get(const std::uint8_t* p) {
    return static_cast<std::int16_t>(detail::LoadU16(p));
  }
};
template <>
struct ScalarCodec<std::int32_t> {
  static constexpr VarType kType = VarType::I4;
  static constexpr std::size_t kSize = 4;
  static void Put(std::uint8_t* p, std::int32_t v) {
    detail::StoreU32(p, static_cast<std::uint32_t>(v));
  }
  static std::int32_t Get(const std::uint8_t* p) {
    return static_cast<std::int32_t>(detail::LoadU32(p));
  }
};
template <>
struct ScalarCodec<float> {
  static constexpr VarType kType = VarType::R4;
  static constexpr std::size_t kSize = 4;
  static void Put(std::uint8_t* p, float v) {
    detail::StoreU32(p, std::bit_cast<std::uint32_t>(v));
  }
  static float Get(const std::uint8_t* p) { return std::bit_cast<float>(detail::LoadU32(p)); }
};
template <>
struct ScalarCodec<double> {
  static constexpr VarType kType = VarType::R8;
  static constexpr std::size_t kSize = 8;
  static void Put(std::uint8_t* p, double v) {
    detail::StoreU64(p, std::bit_cast<std::uint64_t>(v));
  }
  static double Get(const std::uint8_t* p) { return std::bit_cast<double>(detail::LoadU64(p)); }
};
template <>
struct ScalarCodec<Currency> {
  static constexpr VarType kType = VarType::Cy;
  static constexpr std::size_t kSize = 8;
  static void Put(std::uint8_t* p, Currency v) {
    detail::StoreU64(p, static_cast<std::uint64_t>(v.scaled));
  }
  static Currency Get(const std::uint8_t* p) {
    return Currency{static_cast<std::int64_t>(detail::LoadU64(p))};
  }
};
template <>
struct ScalarCodec<Date> {
  static constexpr VarType kType = VarType::Date;
  static constexpr std::size_t kSize = 8;
  static void Put(std::uint8_t* p, Date v) {
    detail::StoreU64(p, std::bit_cast<std::uint64_t>(v.days));
  }
  static Date Get(const std::uint8_t* p) { return Date{std::bit_cast<double>(detail::LoadU64(p))}; }
};
template <>
struct ScalarCodec<ErrorCode> {
  static constexpr VarType kType = VarType::Error;
  static constexpr std::size_t kSize = 4;
  static void Put(std::uint8_t* p, ErrorCode v) {
    detail::StoreU32(p, static_cast<std::uint32_t>(v.scode));
  }
  static ErrorCode Get(const std::uint8_t* p) {
    return ErrorCode{static_cast<std::int32_t>(detail::LoadU32(p))};
  }
};
template <>
struct ScalarCodec<std::uint8_t> {
  static constexpr VarType kType = VarType::UI1;
  static constexpr std::size_t kSize = 1;
  static void Put(std::uint8_t* p, std::uint8_t v) { *p = v; }
  static std::uint8_t Get(const std::uint8_t* p) { return *p; }
};

// Calls f with a value-initialised T for the fixed-size scalar type the array
// holds, and returns what f returns; `otherwise` when it holds another type.
template <class F>
bool WithScalarType(VarType element_type, bool otherwise, F&& f) {
  switch (element_type) {
    case VarType::I2:
      return f(std::int16_t{});
    case VarType::I4:
      return f(std::int32_t{});
    case VarType::R4:
      return f(float{});
    case VarType::R8:
      return f(double{});
    case VarType::Cy:
      return f(Currency{});
    case VarType::Date:
      return f(Date{});
    case VarType::Error:
      return f(ErrorCode{});
    case VarType::UI1:
      return f(std::uint8_t{});
    default:
      return otherwise;
  }
}

// The digits of the numbers lo..hi (0 <= lo <= hi) together, counted a band
// of numbers of one length at a time.
std::uint64_t DigitsIn(std::uint64_t lo, std::uint64_t hi) noexcept {
  std::uint64_t total = 0;
  std::uint64_t first = 0;
  std::uint64_t last = 9;
  for (std::uint64_t width = 1; first <= hi; ++width) {
    const std::uint64_t from = std::max(lo, first);
    const std::uint64_t to = std::min(hi, last);
    if (from <= to) total += (to - from + 1) * width;
    first = last + 1;
    last = last * 10 + 9;
  }
  return total;
}

// The characters of the element keys of the indices lower..upper together; a
// negative index has a minus sign before its digits.
std::uint64_t RangeKeyLength(std::int64_t lower, std::int64_t upper) noexcept {
  // Most arrays are small and start at 0 or 1: a digit per key.
  if (lower >= 0 && upper < 10) {
    return lower <= upper ? static_cast<std::uint64_t>(upper - lower + 1) : 0;
  }
  std::uint64_t total = 0;
  if (lower < 0) {
    const std::int64_t last_negative = std::min<std::int64_t>(upper, -1);
    total +=
        static_cast<std::uint64_t>(last_negative - lower + 1) +
        DigitsIn(static_cast<std::uint64_t>(-last_negative), static_cast<std::uint64_t>(-lower));
    lower = 0;
  }
  if (lower <= upper) {
    total += DigitsIn(static_cast<std::uint64_t>(lower), static_cast<std::uint64_t>(upper));
  }
  return total;
}

// The characters of all the element keys of a bounds table together: each
// index of dimension d appears in (elements / its count) keys, and every key
// has a dot between two indices.
std::size_t TotalKeyLength(std::span<const ArrayBound> bounds, std::size_t elements) noexcept {
  if (elements == 0) return 0;
  // One dimension: each index in one key, no dots.
  if (bounds.size() == 1) {
    return static_cast<std::size_t>(RangeKeyLength(bounds[0].lower, bounds[0].upper));
  }
  std::size_t total = (bounds.size() - 1) * elements;
  for (const ArrayBound& b : bounds) {
    const auto lengths = static_cast<std::size_t>(RangeKeyLength(b.lower, b.upper));
    total += lengths * (elements / static_cast<std::size_t>(b.Count()));
  }
  return total;
}

// The entry head (as BagWriter::StoreEntryHead stores it) of the element keys
// of consecutive indices from a non-negative one on, counted up without
// converting or copying keys. The head, 7 to 17 bytes, is kept as two words,
// its first eight bytes and its last eight: stepping to the next index adds
// one to the last digit inside them, and storing or comparing a head is two
// word-sized moves. (Kept as bytes, the digit's one-byte change followed at
// once by a wider load of the same bytes would stall the processor on every
// element.)
class CountingHead {
 public:
  [[gnu::always_inline]] CountingHead(std::int32_t start, VarType type) noexcept
      : value_(static_cast<std::uint32_t>(start)), type_(type) {
    Rebuild();
  }
  // Stores the head at `p`; returns where the payload goes. Writes eight
  // bytes at least: a head shorter than that is followed by its payload, and
  // an entry is always eight bytes or more.
  [[gnu::always_inline]] std::uint8_t* Put(std::uint8_t* p) const noexcept {
    detail::StoreLittle(p, first_);
    if (size_ > 8) detail::StoreLittle(p + size_ - 8, last_);
    return p + size_;
  }
  // Whether the `Size()` bytes at `p` are the head; reads eight bytes at
  // least (the head's entry must be there whole).
  [[gnu::always_inline]] bool Matches(const std::uint8_t* p) const noexcept {
    if (size_ > 8) {
      return detail::LoadLittle<std::uint64_t>(p) == first_ &&
             detail::LoadLittle<std::uint64_t>(p + size_ - 8) == last_;
    }
    return ((detail::LoadLittle<std::uint64_t>(p) ^ first_) & mask_) == 0;
  }
  std::size_t Size() const noexcept { return size_; }
  [[gnu::always_inline]] void Next() noexcept {
    ++value_;
    if (++units_ != 10) {
      first_ += first_step_;
      last_ += last_step_;
      return;
    }
    Rebuild();
  }

 private:
  static constexpr std::size_t kFixed = 4 + 2;  // the key's length and the type code

  // Computed in registers: bytes stored one by one and then loaded as a word
  // would stall as Next avoids.
  [[gnu::always_inline]] void Rebuild() noexcept {
    __extension__ using Wide = unsigned __int128;
    // The digits, the most significant in the lowest byte.
    Wide digits = 0;
    std::size_t count = 0;
    std::uint64_t rest = value_;
    do {
      digits = (digits << 8) | static_cast<Wide>('0' + rest % 10);
      rest /= 10;
      ++count;
    } while (rest != 0);
    // The key's length (u32), the key and the type code (u16).
    const Wide head = static_cast<Wide>(count) | (digits << 32) |
                      (static_cast<Wide>(Code(type_)) << (8 * (4 + count)));
    size_ = kFixed + count;
    first_ = static_cast<std::uint64_t>(head);
    last_ = size_ > 8 ? static_cast<std::uint64_t>(head >> (8 * (size_ - 8))) : 0;
    units_ = static_cast<std::uint32_t>(value_ % 10);
    // The last digit is byte size_ - 3 of the head: in the first word when
    // that is below 8, and always byte 5 of the last word.
    const std::size_t at = size_ - 3;
    first_step_ = at < 8 ? std::uint64_t{1} << (8 * at) : 0;
    last_step_ = size_ > 8 ? std::uint64_t{1} << 40 : 0;
    mask_ = size_ >= 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * size_)) - 1;
  }

  std::uint64_t first_ = 0;  // bytes 0..7 of the head
  std::uint64_t last_ = 0;   // bytes size_-8..size_-1, when size_ > 8
  std::uint64_t first_step_ = 0;
  std::uint64_t last_step_ = 0;
  std::uint64_t mask_ = 0;
  std::uint64_t value_;
  std::uint32_t units_ = 0;  // the last digit's value
  std::size_t size_ = 0;
  VarType type_;
};

// Appends `n` bytes to either buffer a BagWriter takes and returns where
// they start.
std::uint8_t* AppendRaw(ChunkedBytes& out, std::size_t n) {
  return out.Append(n);
}
std::uint8_t* AppendRaw(std::vector<std::uint8_t>& out, std::size_t n) {
  const std::size_t at = out.size();
  out.resize(at + n);
  return out.data() + at;
}

// The size of an entry holding a 32-bit integer under a key of `key_size` bytes.
constexpr std::size_t IntegerEntrySize(std::size_t key_size) noexcept {
  return BagWriter::EntrySize(key_size, ScalarCodec<std::int32_t>::kSize);
}

// Stores an entry holding a 32-bit integer under the `N` bytes of `key` at `p`,
// as BagWriter::StoreEntryHead and the payload lay it out; returns where the
// next entry goes.
template <std::size_t N>
std::uint8_t* StoreInteger(std::uint8_t* p, const char* key, std::int32_t value) noexcept {
  detail::StoreU32(p, static_cast<std::uint32_t>(N));
  std::memcpy(p + 4, key, N);
  detail::StoreU16(p + 4 + N, Code(VarType::I4));
  ScalarCodec<std::int32_t>::Put(p + 6 + N, value);
  return p + IntegerEntrySize(N);
}

// The head of a byte-array value: dimension count, lower bound, byte count.
constexpr std::size_t kByteArrayHead = 9;

// Stores the head of a one-dimensional byte array of `size` bytes from 0 on;
// returns where its bytes go.
std::uint8_t* StoreByteArrayHead(std::uint8_t* p, std::size_t size) noexcept {
  *p = 1;
  detail::StoreU32(p + 1, 0);
  detail::StoreU32(p + 5, static_cast<std::uint32_t>(size));
  return p + kByteArrayHead;
}

// Lays out the array stream of an array of fixed-size scalars with 1 to
// kMaxEncodedDimensions dimensions (`header` is its header word) whole, in
// the `size` bytes that room(size) gives: the bytes that writing its entries
// one by one gives, the element bag ("@AE#") nested in place. False (room not
// asked for) when the array holds another element type; raises, before room
// is asked for, when the element bag would be too large for a byte array.
template <class Room>
bool EncodeScalarArray(const SafeArray& array, std::int32_t header, const Room& room) {
  return WithScalarType(array.ElementType(), false, [&](auto zero) {
    using T = decltype(zero);
    using Codec = ScalarCodec<T>;
    const std::span<const T> cells = array.FlatElements<T>();
    const std::span<const ArrayBound> bounds = array.Bounds();
    const std::size_t dims = bounds.size();
    const std::size_t element_bag = BagReader::kHeaderSize +
                                    cells.size() * BagWriter::EntrySize(0, Codec::kSize) +
                                    TotalKeyLength(bounds, cells.size());
    if (element_bag > SafeArray::kMaxElements) throw std::bad_alloc();
    std::uint8_t* p = room(BagReader::kHeaderSize + IntegerEntrySize(kHeaderKey.size()) +
                           dims * 2 * IntegerEntrySize(2) +
                           BagWriter::EntrySize(kElementsKey.size(), kByteArrayHead + element_bag));
    p = BagWriter::StoreBagHeader(p, static_cast<std::uint32_t>(2 * dims + 2));
    p = StoreInteger<kHeaderKey.size()>(p, kHeaderKey.data(), header);
    for (std::size_t d = 0; d < dims; ++d) {
      const char digit = static_cast<char>('1' + d);  // at most 5 dimensions
      const std::array<char, 2> lower_key{'D', digit};
      const std::array<char, 2> upper_key{'G', digit};
      p = StoreInteger<2>(p, lower_key.data(), bounds[d].lower);
      p = StoreInteger<2>(p, upper_key.data(), bounds[d].upper);
    }
    p = BagWriter::StoreEntryHead(p, kElementsKey, kByteArrayType);
    p = StoreByteArrayHead(p, element_bag);
    p = BagWriter::StoreBagHeader(p, static_cast<std::uint32_t>(cells.size()));
    if (dims == 1 && bounds[0].lower >= 0) {
      CountingHead head(bounds[0].lower, Codec::kType);
      for (const T cell : cells) {
        p = head.Put(p);
        Codec::Put(p, cell);
        p += Codec::kSize;
        head.Next();
      }
    } else {
      ElementKeyWalker keys(bounds);
      for (const T cell : cells) {
        p = BagWriter::StoreEntryHead(p, keys.Key(), Codec::kType);
        Codec::Put(p, cell);
        p += Codec::kSize;
        keys.Next();
      }
    }
    return true;
  });
}

// ---- Encoding ------------------------------------------------------------------

// The encoder writes into either buffer a BagWriter takes (`Out`).

// The Contents of a bag with no entries: what an array that is not encoded
// (more than 5 dimensions, or nested too deep) is stored as.
template <class Out>
void AppendEmptyBag(Out& out) {
  BagWriter bag(out);
  bag.Finish();
}

template <class Out>
void EncodeArray(const SafeArray& array, Out& out, std::size_t depth);

// The element bag of any other array: one entry per element, in row-major
// order, each made from the element's Variant. An element that is an array is
// written in place as its own array stream; one that the bag cannot hold (an
// object) gets no entry.
template <class Out>
void EncodeElements(const SafeArray& array, Out& out, std::size_t depth) {
  BagWriter elements(out);
  std::string key;
  std::size_t flat = 0;
  for (IndexWalker walk(array.Bounds()); !walk.Done(); walk.Next(), ++flat) {
    try {
      ElementKey(walk.Index(), key);
      const Variant value = array.GetFlat(flat);
      if (value.IsArray()) {
        const BagWriter::Pending pending = elements.BeginBytes(key);
        try {
          if (depth < kMaxArrayNesting) {
            EncodeArray(value.Array(), out, depth + 1);
          } else {
            AppendEmptyBag(out);
          }
          elements.EndBytes(pending);
        } catch (...) {
          elements.AbandonBytes(pending);
          throw;
        }
      } else if (BagCanHold(value)) {
        elements.Write(key, value);
      }
    } catch (...) {
      // The element simply has no entry; go on with the next one. Running out
      // of memory ends the encoding.
      detail::RethrowIfOutOfMemory();
    }
  }
  elements.Finish();
}

// The header word of the array stream of an array with `dims` dimensions.
std::int32_t ArrayHeader(const SafeArray& array, std::size_t dims) noexcept {
  StreamHeaderFields fields;
  fields.version = kArrayFormatVersion;
  fields.kind = kArrayStreamKind;
  fields.empty = dims == 0;
  fields.dimensions = static_cast<std::int16_t>(dims);
  fields.element_type = static_cast<std::int16_t>(Code(array.ElementType()) & 0xFF);
  return PackStreamHeader(fields);
}

template <class Out>
void EncodeArray(const SafeArray& array, Out& out, std::size_t depth) {
  const std::span<const ArrayBound> bounds = array.Bounds();
  const std::size_t dims = std::min(bounds.size(), kMaxProbedDimensions);
  if (dims > kMaxEncodedDimensions) {
    AppendEmptyBag(out);
    return;
  }
  const bool empty = dims == 0;
  const std::int32_t header = ArrayHeader(array, dims);
  if (!empty &&
      EncodeScalarArray(array, header, [&out](std::size_t size) { return AppendRaw(out, size); })) {
    return;
  }
  BagWriter bag(out);
  ScalarCodec<std::int32_t>::Put(bag.AppendScalar(kHeaderKey, VarType::I4), header);
  if (!empty) {
    for (std::size_t d = 0; d < dims; ++d) {
      const char digit = static_cast<char>('1' + d);  // at most 5 dimensions
      const std::array<char, 2> lower_key{'D', digit};
      const std::array<char, 2> upper_key{'G', digit};
      ScalarCodec<std::int32_t>::Put(
          bag.AppendScalar(std::string_view(lower_key.data(), 2), VarType::I4), bounds[d].lower);
      ScalarCodec<std::int32_t>::Put(
          bag.AppendScalar(std::string_view(upper_key.data(), 2), VarType::I4), bounds[d].upper);
    }
    const BagWriter::Pending pending = bag.BeginBytes(kElementsKey);
    EncodeElements(array, out, depth);
    bag.EndBytes(pending);
  }
  bag.Finish();
}

// ---- Decoding ------------------------------------------------------------------

// What one decode shares across its nesting.
struct DecodeState {
  // Elements that may still be made without an entry of their own.
  std::uint64_t missing_budget = 0;
  // Elements of Variant arrays that may be made without an entry once the
  // budget above is spent: those of object references the bag refused.
  std::uint64_t refused_budget = kRefusedElementAllowance;
  // Nesting level of the array being decoded (0 for the outermost).
  std::size_t depth = 0;
  // Readers that the outermost array's bags are parsed into, which a caller
  // decoding many arrays keeps from one decode to the next; null: each array
  // parses into readers of its own, as nested arrays always do.
  BagReader* array_scratch = nullptr;
  BagReader* element_scratch = nullptr;
};

DecodeState StateFor(std::size_t input_bytes) noexcept {
  DecodeState state;
  state.missing_budget = DecodeAllowance(input_bytes).Left();
  return state;
}

// The bounds of an array stream, at most kMaxEncodedDimensions of them.
struct StreamBounds {
  std::array<ArrayBound, kMaxEncodedDimensions> bound{};
  std::size_t dims = 0;
  std::span<const ArrayBound> Span() const noexcept {
    return std::span<const ArrayBound>(bound.data(), dims);
  }
};

// The keys of the bounds of dimension `d` (from 0): "D1" and "G1" ... "D5" and
// "G5", one digit, since at most 5 dimensions are encoded.
class BoundKeys {
 public:
  explicit BoundKeys(std::size_t d) noexcept
      : lower_{'D', static_cast<char>('1' + d)}, upper_{'G', static_cast<char>('1' + d)} {}
  std::string_view Lower() const noexcept { return std::string_view(lower_.data(), 2); }
  std::string_view Upper() const noexcept { return std::string_view(upper_.data(), 2); }

 private:
  std::array<char, 2> lower_;
  std::array<char, 2> upper_;
};

// A bound entry: read with the default 0 and converted to a 32-bit integer;
// nullopt when it does not convert. Bounds are stored as 32-bit integers,
// which are read straight from the payload.
std::optional<std::int32_t> ReadBound(const BagReader& bag, std::string_view key) {
  const BagReader::Entry* entry = bag.Find(key);
  if (entry == nullptr) return 0;
  if (entry->type == VarType::I4 && entry->payload.size() == ScalarCodec<std::int32_t>::kSize) {
    return ScalarCodec<std::int32_t>::Get(entry->payload.data());
  }
  try {
    return ToI4(bag.Value(*entry));
  } catch (...) {
    detail::RethrowIfOutOfMemory();
    return std::nullopt;
  }
}

// What decoding reads of an array stream's bag, from the parsed bag: each
// entry is looked up when the decoder comes to it and converted by the
// automation rules.
class ParsedArrayBag {
 public:
  explicit ParsedArrayBag(const BagReader& bag) noexcept : bag_(bag) {}
  bool Word(std::int32_t& word) const {
    bool out_of_memory = false;
    const std::optional<std::int32_t> found = StreamHeaderWord(bag_, out_of_memory);
    if (out_of_memory) throw std::bad_alloc();
    if (found) word = *found;
    return found.has_value();
  }
  bool Bounds(std::size_t d, ArrayBound& bound) const {
    const BoundKeys keys(d);
    const auto lower = ReadBound(bag_, keys.Lower());
    const auto upper = ReadBound(bag_, keys.Upper());
    if (!lower || !upper) return false;
    bound = ArrayBound{*lower, *upper};
    return true;
  }
  // The bytes of the element bag, "@AE#" read with no default; nullopt when
  // the entry is absent or no byte array. An unallocated byte array has no
  // bytes at all.
  std::optional<std::span<const std::uint8_t>> Elements() const noexcept {
    const BagReader::Entry* entry = bag_.Find(kElementsKey);
    if (entry == nullptr || entry->type != kByteArrayType) return std::nullopt;
    const auto bytes = BagReader::BytesOf(*entry);
    return bytes ? *bytes : std::span<const std::uint8_t>();
  }

 private:
  const BagReader& bag_;
};

// An array stream's bag in exactly the form the encoder writes for an array
// with dimensions: the bag's header, then "@SF#", "D1", "G1", ... "Dn", "Gn" as
// 32-bit integers for the n dimensions the header word gives, then "@AE#" as
// a byte array with lower bound 0 whose bytes run to the end
// (docs/property-bag-format.md). Such bytes are a valid bag; Match reads their
// parts in one pass, and any other bytes are left to ParsedArrayBag.
class WrittenArrayBag {
 public:
  bool Match(std::span<const std::uint8_t> bytes) noexcept {
    const std::optional<std::size_t> count = BagReader::HeaderCount(bytes);
    if (!count || *count < 4 || *count % 2 != 0) return false;
    const std::size_t dims = (*count - 2) / 2;
    if (dims > kMaxEncodedDimensions) return false;
    p_ = bytes.data() + BagReader::kHeaderSize;
    end_ = bytes.data() + bytes.size();
    if (!Integer(kHeaderKey, word_) ||
        UnpackStreamHeader(word_).dimensions != static_cast<std::int16_t>(dims)) {
      return false;
    }
    for (std::size_t d = 0; d < dims; ++d) {
      const BoundKeys keys(d);
      std::int32_t lower = 0;
      std::int32_t upper = 0;
      if (!Integer(keys.Lower(), lower) || !Integer(keys.Upper(), upper)) return false;
      bounds_[d] = ArrayBound{lower, upper};
    }
    // One dimension, lower bound 0, and a byte count that is the rest.
    if (!Head(kElementsKey, kByteArrayType, kByteArrayHead) || p_[0] != 1 ||
        detail::LoadU32(p_ + 1) != 0) {
      return false;
    }
    const std::uint32_t n = detail::LoadU32(p_ + 5);
    if (n != static_cast<std::size_t>(end_ - p_) - kByteArrayHead || n > SafeArray::kMaxElements) {
      return false;
    }
    elements_ = std::span<const std::uint8_t>(p_ + kByteArrayHead, n);
    return true;
  }

  // Values are handed out through references, not as optionals: an optional
  // built on the stack and read back as a word stalls the processor.
  bool Word(std::int32_t& word) const noexcept {
    word = word_;
    return true;
  }
  bool Bounds(std::size_t d, ArrayBound& bound) const noexcept {
    bound = bounds_[d];
    return true;
  }
  std::optional<std::span<const std::uint8_t>> Elements() const noexcept { return elements_; }

 private:
  // The head of the next entry, under `key` with type `type`, followed by at
  // least `payload` bytes; the reading position moves to the payload.
  bool Head(std::string_view key, VarType type, std::size_t payload) noexcept {
    if (static_cast<std::size_t>(end_ - p_) < 4 + key.size() + 2 + payload ||
        detail::LoadU32(p_) != key.size() ||
        !detail::SameBagKey(std::string_view(reinterpret_cast<const char*>(p_ + 4), key.size()),
                            key) ||
        detail::LoadU16(p_ + 4 + key.size()) != Code(type)) {
      return false;
    }
    p_ += 4 + key.size() + 2;
    return true;
  }
  bool Integer(std::string_view key, std::int32_t& value) noexcept {
    using Codec = ScalarCodec<std::int32_t>;
    if (!Head(key, Codec::kType, Codec::kSize)) return false;
    value = Codec::Get(p_);
    p_ += Codec::kSize;
    return true;
  }

  const std::uint8_t* p_ = nullptr;
  const std::uint8_t* end_ = nullptr;
  std::int32_t word_ = 0;
  std::array<ArrayBound, kMaxEncodedDimensions> bounds_{};
  std::span<const std::uint8_t> elements_;
};

// Loads the element bag, "@AE#" read with no default, into `elements`; false
// when the entry is absent, is no byte array, or does not load.
bool LoadElementBag(const BagReader& bag, BagReader& elements) {
  const auto bytes = ParsedArrayBag(bag).Elements();
  return bytes && elements.Parse(*bytes);
}

// The number of elements of a bounds table, saturating; 0 when a dimension has
// none.
std::uint64_t ElementCount(std::span<const ArrayBound> bounds) noexcept {
  std::uint64_t count = 1;
  for (const ArrayBound& b : bounds) {
    const std::uint64_t n = b.Count();
    if (n == 0) return 0;
    if (count > std::numeric_limits<std::uint64_t>::max() / n) {
      count = std::numeric_limits<std::uint64_t>::max();
    } else {
      count *= n;
    }
  }
  return count;
}

// NewTypedArray on a span of bounds, into `array`; false where NewTypedArray
// gives Null.
// Raises std::bad_alloc when memory runs out.
bool NewArrayInto(std::int16_t element_type, std::span<const ArrayBound> bounds, bool empty,
                  SafeArray& array) {
  if (!IsRebuiltType(element_type)) return false;
  const VarType type = RebuiltElementType(element_type);
  try {
    if (empty || bounds.empty() || bounds.size() > kMaxEncodedDimensions) {
      array = SafeArray(type);
      return true;
    }
    for (const ArrayBound& b : bounds) {
      if (b.upper < b.lower) return false;
    }
    // More elements than an array holds: bounds no array can have.
    if (ElementCount(bounds) > SafeArray::kMaxElements) return false;
    array = SafeArray(type, bounds);
    return true;
  } catch (...) {
    detail::RethrowIfOutOfMemory();
    return false;
  }
}

// NewTypedArray on a span of bounds; raises std::bad_alloc when memory runs out.
Variant NewArray(std::int16_t element_type, std::span<const ArrayBound> bounds, bool empty) {
  if (SafeArray array; NewArrayInto(element_type, bounds, empty, array)) {
    return Variant(std::move(array));
  }
  return Variant(kNull);
}

Variant DecodeArrayBytes(std::span<const std::uint8_t> bytes,
                         std::optional<std::int32_t> expected_type, DecodeState& state,
                         const Variant& if_no_bag);

// ValueFromStored of the bytes of a byte-array value: the array it holds
// when it is an array stream (Null becoming Empty), else Empty.
Variant ValueFromStreamBytes(std::span<const std::uint8_t> bytes, DecodeState& state) {
  Variant value = DecodeArrayBytes(bytes, std::nullopt, state, Variant());
  if (value.IsNull()) return Variant();
  return value;
}

// ValueFromStored of an element entry (nullptr: absent).
Variant ValueFromEntry(const BagReader& elements, const BagReader::Entry* entry,
                       DecodeState& state) {
  if (entry == nullptr) return Variant();
  if (IsArrayType(entry->type)) {
    // A bag holds no array but byte arrays; anything else decodes as Empty.
    const auto bytes = BagReader::BytesOf(*entry);
    if (!bytes) return Variant();
    // Too deep to rebuild: the element comes back as Empty, as an array that
    // was not encoded does.
    if (state.depth >= kMaxArrayNesting) return Variant();
    ++state.depth;
    Variant value;
    try {
      value = ValueFromStreamBytes(*bytes, state);
    } catch (...) {
      --state.depth;
      throw;
    }
    --state.depth;
    return value;
  }
  return elements.Value(*entry);
}

bool SameBounds(std::span<const ArrayBound> a, std::span<const ArrayBound> b) noexcept {
  return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

// The value of the element under `key` as ValueFromStored gives it; Empty
// when the entry is absent or cannot be read.
Variant ElementValue(const BagReader& elements, std::string_view key, DecodeState& state) {
  try {
    return ValueFromEntry(elements, elements.Find(key), state);
  } catch (...) {
    detail::RethrowIfOutOfMemory();
    return Variant();
  }
}

// Reads the element under `key` into position `flat` of an array that holds
// only initial values. Apart from the loop that calls it, since it is rarely
// needed there.
[[gnu::noinline]] void FillFreshElement(const BagReader& elements, std::string_view key,
                                        SafeArray& target, std::size_t flat, DecodeState& state) {
  try {
    const Variant value = ElementValue(elements, key, state);
    if (!value.IsEmpty()) target.SetFlat(flat, value);  // Empty keeps the initial value
  } catch (...) {
    // A failing assignment leaves the element as it was.
    detail::RethrowIfOutOfMemory();
  }
}

// Reads the elements of an array of fixed-size scalars whose entries lie in
// the element bag in row-major order, each under its own key with the array's
// type, straight into the array; elements whose entry is elsewhere or of
// another type are read as FillFromElementBag reads them. False when the
// array holds another element type.
bool FillScalarElements(const BagReader& elements, SafeArray& target,
                        std::span<const ArrayBound> bounds, DecodeState& state) {
  return WithScalarType(target.ElementType(), false, [&](auto zero) {
    using T = decltype(zero);
    using Codec = ScalarCodec<T>;
    const std::span<T> cells = target.MutableFlatElements<T>();
    const std::span<const BagReader::Entry> entries = elements.Entries();
    ElementKeyWalker keys(bounds);
    for (std::size_t flat = 0; flat < cells.size(); ++flat, keys.Next()) {
      const std::string_view key = keys.Key();
      if (flat < entries.size()) {
        const BagReader::Entry& e = entries[flat];
        if (e.type == Codec::kType && e.payload.size() == Codec::kSize &&
            detail::SameBagKey(e.key, key)) {
          cells[flat] = Codec::Get(e.payload.data());
          continue;
        }
      }
      FillFreshElement(elements, key, target, flat, state);
    }
    return true;
  });
}

// Reads every element of `bounds` from the element bag into `target`. When
// `fresh` is set the target holds only initial values, so an Empty element,
// which would assign the initial value again, is passed over.
void FillFromElementBag(const BagReader& elements, SafeArray& target,
                        std::span<const ArrayBound> bounds, bool fresh, DecodeState& state) {
  const bool flat = SameBounds(target.Bounds(), bounds);
  if (fresh && flat && FillScalarElements(elements, target, bounds, state)) return;
  std::string key;
  std::size_t position = 0;
  for (IndexWalker walk(bounds); !walk.Done(); walk.Next(), ++position) {
    try {
      ElementKey(walk.Index(), key);
      const Variant value = ElementValue(elements, key, state);
      if (fresh && value.IsEmpty()) continue;
      if (flat) {
        target.SetFlat(position, value);
      } else {
        target.Set(walk.Index(), value);
      }
    } catch (...) {
      // A failing assignment leaves the element as it was.
      detail::RethrowIfOutOfMemory();
    }
  }
}

// Reads an element bag of exactly the form the encoder writes for an array of
// fixed-size scalars T with `bounds`, whose header announces an entry for
// every element: after the header, one entry per element in row-major order,
// under its key and with the array's type, each a key length (u32), the key,
// the type code (u16) and the payload, and nothing after the last
// (docs/property-bag-format.md). Such bytes are a valid bag with an entry for
// every element; they are read straight into `cells`, and the result is true.
// Any other bytes give false, with `cells` changed only in part, and are left
// to the general path.
template <class T>
bool ReadWrittenElements(std::span<const std::uint8_t> bytes, std::span<const ArrayBound> bounds,
                         std::span<T> cells) noexcept {
  using Codec = ScalarCodec<T>;
  const std::uint8_t* p = bytes.data() + BagReader::kHeaderSize;
  const std::uint8_t* const end = bytes.data() + bytes.size();
  if (bounds.size() == 1 && bounds[0].lower >= 0) {
    // Each entry's head is compared whole with the one the encoder writes.
    CountingHead head(bounds[0].lower, Codec::kType);
    for (T& cell : cells) {
      if (static_cast<std::size_t>(end - p) < head.Size() + Codec::kSize || !head.Matches(p)) {
        return false;
      }
      p += head.Size();
      cell = Codec::Get(p);
      p += Codec::kSize;
      head.Next();
    }
    return p == end;
  }
  ElementKeyWalker keys(bounds);
  for (std::size_t flat = 0; flat < cells.size(); ++flat, keys.Next()) {
    const std::string_view key = keys.Key();
    if (static_cast<std::size_t>(end - p) < 4 + key.size() + 2 + Codec::kSize ||
        detail::LoadU32(p) != key.size() ||
        !detail::SameBagKey(std::string_view(reinterpret_cast<const char*>(p + 4), key.size()),
                            key)) {
      return false;
    }
    p += 4 + key.size();
    if (detail::LoadU16(p) != Code(Codec::kType)) return false;
    cells[flat] = Codec::Get(p + 2);
    p += 2 + Codec::kSize;
  }
  return p == end;
}

// Decodes an array of fixed-size scalars whose element bag the encoder wrote
// (see ReadWrittenElements) into `result`; false when the array holds another
// type or its element bag is of any other form, for the general path.
bool DecodeWrittenArray(std::int16_t element_type, std::span<const ArrayBound> bounds,
                        std::span<const std::uint8_t> element_bytes, SafeArray& result) {
  return WithScalarType(RebuiltElementType(element_type), false, [&](auto zero) {
    using T = decltype(zero);
    // Every element has its entry, so the allowance is not drawn on.
    if (BagReader::HeaderCount(element_bytes) != ElementCount(bounds)) return false;
    SafeArray array;
    if (!NewArrayInto(element_type, bounds, false, array)) return false;
    if (!ReadWrittenElements(element_bytes, bounds, array.MutableFlatElements<T>())) return false;
    result = std::move(array);
    return true;
  });
}

// The head of an array stream whose elements are to be read.
struct ArrayHead {
  std::int16_t element_type = 0;
  StreamBounds table;
  std::span<const std::uint8_t> element_bytes;
};

// Reads the head of an array stream from the parts of its bag (a
// ParsedArrayBag or a WrittenArrayBag), in the order that decides the result:
// true, with `head` filled, when elements are to be read; false when the
// result is known without them, with that result in `result`.
template <class ArrayBag>
bool ReadArrayHead(const ArrayBag& bag, std::optional<std::int32_t> expected_type, ArrayHead& head,
                   Variant& result) {
  const auto done = [&result](Variant value) {
    result = std::move(value);
    return false;
  };
  std::int32_t word = 0;
  if (!bag.Word(word)) return done(Variant(kNull));
  const StreamHeader header = UnpackStreamHeader(word);
  if (header.kind != kArrayStreamKind) return done(Variant(kNull));

  const std::size_t dims = header.dimensions < 0 ? 0 : static_cast<std::size_t>(header.dimensions);
  const bool empty = dims == 0 || header.empty;
  if (header.version != kArrayFormatVersion) return done(Variant());  // Empty
  if (dims > kMaxEncodedDimensions) return done(Variant(kNull));
  const std::int16_t element_type = header.element_type;
  if (element_type == 0) return done(Variant(kNull));

  StreamBounds& table = head.table;
  if (!empty) {
    if (expected_type) {
      const std::int32_t expected = *expected_type & 0xFF;
      if (expected <= 0 || expected != element_type) return done(Variant(kNull));
    }
    table.dims = dims;
    for (std::size_t d = 0; d < dims; ++d) {
      if (!bag.Bounds(d, table.bound[d])) return done(Variant(kNull));
    }
  }

  // Arrays of objects and other types that are not rebuilt stop here, before
  // anything is allocated.
  if (!IsRebuiltType(element_type)) return done(Variant(kNull));
  if (empty) return done(NewArray(element_type, {}, true));
  for (const ArrayBound& b : table.Span()) {
    if (b.upper < b.lower) return done(Variant(kNull));
  }

  const std::optional<std::span<const std::uint8_t>> element_bytes = bag.Elements();
  if (!element_bytes) return done(Variant(kNull));
  head.element_type = element_type;
  head.element_bytes = *element_bytes;
  return true;
}

// Decodes an array stream from the parts of its bag.
template <class ArrayBag>
Variant DecodeArray(const ArrayBag& bag, std::optional<std::int32_t> expected_type,
                    DecodeState& state) {
  ArrayHead head;
  if (Variant result; !ReadArrayHead(bag, expected_type, head, result)) return result;
  const std::span<const ArrayBound> bounds = head.table.Span();
  if (SafeArray array; DecodeWrittenArray(head.element_type, bounds, head.element_bytes, array)) {
    return Variant(std::move(array));
  }
  BagReader own;
  BagReader& elements =
      state.depth == 0 && state.element_scratch != nullptr ? *state.element_scratch : own;
  if (!elements.Parse(head.element_bytes)) return Variant(kNull);

  // The resource rule: elements without an entry draw on the shared allowance.
  const std::uint64_t count = ElementCount(bounds);
  const std::uint64_t present = elements.Size();
  const std::uint64_t missing = count > present ? count - present : 0;
  if (missing <= state.missing_budget) {
    state.missing_budget -= missing;
  } else {
    // Only a Variant array lacks entries in a genuine Stream (its object
    // references), and only it draws on the fixed allowance for them.
    const std::uint64_t over = missing - state.missing_budget;
    if (head.element_type != static_cast<std::int16_t>(VarType::Variant) ||
        over > state.refused_budget) {
      return Variant(kNull);
    }
    state.refused_budget -= over;
    state.missing_budget = 0;
  }

  Variant result = NewArray(head.element_type, bounds, false);
  if (result.IsNull()) return result;
  FillFromElementBag(elements, result.MutableArray(), bounds, true, state);
  return result;
}

// DecodeArray on the bytes of an array stream; `if_no_bag` when they do not
// load as a bag.
Variant DecodeArrayBytes(std::span<const std::uint8_t> bytes,
                         std::optional<std::int32_t> expected_type, DecodeState& state,
                         const Variant& if_no_bag) {
  if (WrittenArrayBag written; written.Match(bytes)) {
    return DecodeArray(written, expected_type, state);
  }
  BagReader own;
  BagReader& bag = state.depth == 0 && state.array_scratch != nullptr ? *state.array_scratch : own;
  if (!bag.Parse(bytes)) return if_no_bag;
  return DecodeArray(ParsedArrayBag(bag), expected_type, state);
}

}  // namespace

// ---- Keys ----------------------------------------------------------------------

void ElementKey(std::span<const std::int32_t> index, std::string& out) {
  out.clear();
  std::array<char, 16> buf{};
  for (std::size_t i = 0; i < index.size(); ++i) {
    if (i != 0) out.push_back('.');
    const auto r = std::to_chars(buf.data(), buf.data() + buf.size(), index[i]);
    out.append(buf.data(), r.ptr);
  }
}

std::string ElementKey(std::span<const std::int32_t> index) {
  std::string key;
  ElementKey(index, key);
  return key;
}

// ---- Bounds --------------------------------------------------------------------

bool DimensionBounds(const Variant& value, std::size_t dimension, std::int32_t& lower,
                     std::int32_t& upper) noexcept {
  if (!value.IsArray()) return false;
  const SafeArray& array = *value.ArrayPtr();
  if (dimension < 1 || dimension > array.Dims()) return false;
  const ArrayBound& b = array.Bounds()[dimension - 1];
  lower = b.lower;
  upper = b.upper;
  return true;
}

ArrayShape ArrayShapeOf(const Variant& value) noexcept {
  ArrayShape table;
  try {
    for (std::size_t d = 1; d <= kMaxProbedDimensions; ++d) {
      ArrayBound b;
      if (!DimensionBounds(value, d, b.lower, b.upper)) break;
      table.bounds.push_back(b);
    }
  } catch (...) {
    // The dimensions found so far.
  }
  return table;
}

// ---- Encoding ------------------------------------------------------------------

void AppendStreamFromArray(const SafeArray& array, std::vector<std::uint8_t>& out) noexcept {
  const std::size_t mark = out.size();
  try {
    EncodeArray(array, out, 0);
  } catch (...) {
    out.resize(mark);
  }
}

void AppendStreamFromArray(const SafeArray& array, ChunkedBytes& out) {
  const std::size_t mark = out.Size();
  try {
    EncodeArray(array, out, 0);
  } catch (...) {
    out.Truncate(mark);
    detail::RethrowIfOutOfMemory();
  }
}

bool AppendArrayEntry(BagWriter& bag, std::string_view key, const SafeArray& array) {
  const std::size_t dims = array.Bounds().size();
  if (dims == 0 || dims > kMaxEncodedDimensions ||
      key.size() > std::numeric_limits<std::uint32_t>::max()) {
    return false;
  }
  try {
    return EncodeScalarArray(array, ArrayHeader(array, dims), [&](std::size_t size) {
      if (size > SafeArray::kMaxElements) throw std::bad_alloc();
      std::uint8_t* p =
          bag.AppendEntries(BagWriter::EntrySize(key.size(), kByteArrayHead + size), 1);
      return StoreByteArrayHead(BagWriter::StoreEntryHead(p, key, kByteArrayType), size);
    });
  } catch (...) {
    // Nothing was written. An array whose stream is too large for a byte
    // array counts as running out of memory, as any array too large does.
    detail::RethrowIfOutOfMemory();
    return false;
  }
}

std::vector<std::uint8_t> StreamFromArray(const Variant& value) noexcept {
  std::vector<std::uint8_t> out;
  if (value.IsArray()) AppendStreamFromArray(*value.ArrayPtr(), out);
  return out;
}

Variant StoredFromValue(const Variant& value) noexcept {
  try {
    if (!value.IsArray()) return value;
    return Variant(SafeArray::FromBytes(StreamFromArray(value)));
  } catch (...) {
    return Variant();
  }
}

// ---- Decoding ------------------------------------------------------------------

DecodeAllowance::DecodeAllowance(std::size_t input_bytes) noexcept {
  const std::uint64_t limit = std::numeric_limits<std::uint64_t>::max();
  const std::uint64_t n = static_cast<std::uint64_t>(input_bytes);
  left_ = n > (limit - kMissingElementAllowance) / kMissingElementsPerByte
              ? limit
              : kMissingElementAllowance + kMissingElementsPerByte * n;
}

bool DecodeAllowance::Draw(std::uint64_t count, bool variant) noexcept {
  if (count <= left_) {
    left_ -= count;
    return true;
  }
  const std::uint64_t over = count - left_;
  if (!variant || over > refused_left_) return false;
  refused_left_ -= over;
  left_ = 0;
  return true;
}

Variant ArrayFromStream(std::span<const std::uint8_t> bytes,
                        std::optional<std::int32_t> expected_type) noexcept {
  try {
    DecodeAllowance allowance(bytes.size());
    return ArrayFromStream(bytes, expected_type, allowance);
  } catch (const std::bad_alloc&) {
    return Variant(kNull);
  }
}

Variant ArrayFromStream(std::span<const std::uint8_t> bytes,
                        std::optional<std::int32_t> expected_type, DecodeAllowance& allowance) {
  try {
    DecodeState state;
    state.missing_budget = allowance.left_;
    state.refused_budget = allowance.refused_left_;
    state.array_scratch = &allowance.array_bag_;
    state.element_scratch = &allowance.element_bag_;
    Variant result = DecodeArrayBytes(bytes, expected_type, state, Variant(kNull));
    allowance.left_ = state.missing_budget;
    allowance.refused_left_ = state.refused_budget;
    return result;
  } catch (...) {
    detail::RethrowIfOutOfMemory();
    return Variant(kNull);
  }
}

bool ScalarArrayFromStream(std::span<const std::uint8_t> bytes, std::int32_t expected_type,
                           SafeArray& target) {
  try {
    WrittenArrayBag written;
    if (!written.Match(bytes)) return false;
    ArrayHead head;
    if (Variant result; !ReadArrayHead(written, expected_type, head, result)) return false;
    SafeArray array;
    if (!DecodeWrittenArray(head.element_type, head.table.Span(), head.element_bytes, array)) {
      return false;
    }
    target = std::move(array);
    return true;
  } catch (...) {
    detail::RethrowIfOutOfMemory();
    return false;
  }
}

Variant ValueFromStored(const Variant& stored) noexcept {
  try {
    if (!stored.IsArray()) return stored;
    const SafeArray& array = *stored.ArrayPtr();
    if (array.ElementType() != VarType::UI1) return Variant();
    DecodeAllowance allowance(array.ByteSpan().size());
    return ValueFromStored(stored, allowance);
  } catch (...) {
    return Variant();
  }
}

Variant ValueFromStored(const Variant& stored, DecodeAllowance& allowance) {
  try {
    if (!stored.IsArray()) return stored;
    const SafeArray& array = *stored.ArrayPtr();
    if (array.ElementType() != VarType::UI1) return Variant();
    DecodeState state;
    state.missing_budget = allowance.left_;
    state.refused_budget = allowance.refused_left_;
    state.array_scratch = &allowance.array_bag_;
    state.element_scratch = &allowance.element_bag_;
    Variant result = ValueFromStreamBytes(array.ByteSpan(), state);
    allowance.left_ = state.missing_budget;
    allowance.refused_left_ = state.refused_budget;
    return result;
  } catch (...) {
    detail::RethrowIfOutOfMemory();
    return Variant();
  }
}

std::vector<std::uint8_t> BytesFromVariant(const Variant& value) noexcept {
  try {
    if (!value.IsArray()) return {};
    const SafeArray& array = *value.ArrayPtr();
    if (array.ElementType() != VarType::UI1) return {};
    return array.ToBytes();
  } catch (...) {
    return {};
  }
}

Variant NewTypedArray(std::int16_t element_type, const ArrayShape& bounds, bool empty) noexcept {
  try {
    return NewArray(element_type, bounds.bounds, empty);
  } catch (const std::bad_alloc&) {
    return Variant(kNull);
  }
}

bool FillArrayFromStream(std::span<const std::uint8_t> bytes, Variant& target,
                         const ArrayShape& bounds) noexcept {
  try {
    BagReader bag;
    BagReader elements;
    if (!bag.Load(bytes) || !LoadElementBag(bag, elements)) return false;
    // Every assignment into something that is no array fails.
    if (!target.IsArray()) return true;
    DecodeState state = StateFor(bytes.size());
    FillFromElementBag(elements, target.MutableArray(), bounds.bounds, false, state);
    return true;
  } catch (...) {
    return true;  // the elements assigned so far stay
  }
}

}  // namespace replikon
