#include "replikon/stream/array_encoding.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <limits>
#include <utility>

#include "replikon/stream/stream_layout.hpp"

namespace replikon {

namespace {

constexpr std::int16_t kArrayFormatVersion = 1;

// ---- Keys ----------------------------------------------------------------------

// "D1" ... "D5", "G1" ... "G5": a letter and the 1-based dimension number.
void BoundKey(char letter, std::size_t dimension, std::string& out) {
  std::array<char, 24> buf{};
  buf[0] = letter;
  const auto r = std::to_chars(buf.data() + 1, buf.data() + buf.size(), dimension);
  out.assign(buf.data(), r.ptr);
}

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

// ---- Encoding ------------------------------------------------------------------

// The Contents of a bag with no entries: what an array that is not encoded
// (more than 5 dimensions, or nested too deep) is stored as.
void AppendEmptyBag(std::vector<std::uint8_t>& out) {
  BagWriter bag(out);
  bag.Finish();
}

void EncodeArray(const SafeArray& array, std::vector<std::uint8_t>& out, std::size_t depth);

// The element bag: one entry per element, in row-major order. An element that
// is an array is written in place as its own array stream; one that the bag
// cannot hold (an object) gets no entry.
void EncodeElements(const SafeArray& array, std::vector<std::uint8_t>& out, std::size_t depth) {
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
        }
      } else if (BagCanHold(value)) {
        elements.Write(key, value);
      }
    } catch (...) {
      // The element simply has no entry; go on with the next one.
    }
  }
  elements.Finish();
}

void EncodeArray(const SafeArray& array, std::vector<std::uint8_t>& out, std::size_t depth) {
  const std::span<const ArrayBound> bounds = array.Bounds();
  const std::size_t dims = std::min(bounds.size(), kMaxProbedDimensions);
  if (dims > kMaxEncodedDimensions) {
    AppendEmptyBag(out);
    return;
  }
  const bool empty = dims == 0;
  StreamHeaderFields fields;
  fields.version = kArrayFormatVersion;
  fields.kind = kArrayStreamKind;
  fields.empty = empty;
  fields.dimensions = static_cast<std::int16_t>(dims);
  fields.element_type = static_cast<std::int16_t>(Code(array.ElementType()) & 0xFF);
  const std::int32_t header = PackStreamHeader(fields);

  BagWriter bag(out);
  bag.Write(kHeaderKey, Variant(header));
  if (!empty) {
    std::string key;
    for (std::size_t d = 0; d < dims; ++d) {
      BoundKey('D', d + 1, key);
      bag.Write(key, Variant(bounds[d].lower));
      BoundKey('G', d + 1, key);
      bag.Write(key, Variant(bounds[d].upper));
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
  // Nesting level of the array being decoded (0 for the outermost).
  std::size_t depth = 0;
};

DecodeState StateFor(std::size_t input_bytes) noexcept {
  const std::uint64_t limit = std::numeric_limits<std::uint64_t>::max();
  const std::uint64_t n = static_cast<std::uint64_t>(input_bytes);
  DecodeState state;
  state.missing_budget = n > (limit - kMissingElementAllowance) / kMissingElementsPerByte
                             ? limit
                             : kMissingElementAllowance + kMissingElementsPerByte * n;
  return state;
}

// A bound entry: read with the default 0 and converted to a 32-bit integer;
// nullopt when it does not convert.
std::optional<std::int32_t> ReadBound(const BagReader& bag, std::string_view key) noexcept {
  const BagReader::Entry* entry = bag.Find(key);
  if (entry == nullptr) return 0;
  try {
    const Variant value = BagReader::Decode(*entry);
    if (const auto* i = value.GetIf<std::int32_t>()) return *i;
    return ToI4(value);
  } catch (...) {
    return std::nullopt;
  }
}

// The element bag: "@AE#" read with no default and loaded as a bag; nullopt
// when the entry is absent, is no byte array, or does not load.
std::optional<BagReader> ElementBag(const BagReader& bag) noexcept {
  const BagReader::Entry* entry = bag.Find(kElementsKey);
  if (entry == nullptr || entry->type != kByteArrayType) return std::nullopt;
  const auto bytes = bag.ReadBytes(kElementsKey);
  // An unallocated byte array loads as no bytes at all.
  return BagReader::TryParse(bytes ? *bytes : std::span<const std::uint8_t>());
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

Variant DecodeArrayStream(const BagReader& bag, std::optional<std::int32_t> expected_type,
                          DecodeState& state);

// ValueFromStored of the bytes of a byte-array value: the array it holds
// when it is an array stream (Null becoming Empty), else Empty.
Variant ValueFromStreamBytes(std::span<const std::uint8_t> bytes, DecodeState& state) {
  const std::optional<BagReader> bag = BagReader::TryParse(bytes);
  if (!bag) return Variant();
  Variant value = DecodeArrayStream(*bag, std::nullopt, state);
  if (value.IsNull()) return Variant();
  return value;
}

// ValueFromStored of an element entry (nullptr: absent).
Variant ValueFromEntry(const BagReader& elements, const BagReader::Entry* entry,
                       DecodeState& state) {
  if (entry == nullptr) return Variant();
  if (IsArrayType(entry->type)) {
    // A bag holds no array but byte arrays; anything else decodes as Empty.
    if (entry->type != kByteArrayType) return Variant();
    const auto bytes = elements.ReadBytes(entry->key);
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
  return BagReader::Decode(*entry);
}

bool SameBounds(std::span<const ArrayBound> a, std::span<const ArrayBound> b) noexcept {
  return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

// Reads every element of `bounds` from the element bag into `target`. When
// `fresh` is set the target holds only initial values, so an Empty element,
// which would assign the initial value again, is passed over.
void FillFromElementBag(const BagReader& elements, SafeArray& target,
                        std::span<const ArrayBound> bounds, bool fresh, DecodeState& state) {
  const bool flat = SameBounds(target.Bounds(), bounds);
  std::string key;
  std::size_t position = 0;
  for (IndexWalker walk(bounds); !walk.Done(); walk.Next(), ++position) {
    try {
      ElementKey(walk.Index(), key);
      Variant value;
      try {
        value = ValueFromEntry(elements, elements.Find(key), state);
      } catch (...) {
        value = Variant();  // a failing read gives Empty
      }
      if (fresh && value.IsEmpty()) continue;
      if (flat) {
        target.SetFlat(position, value);
      } else {
        target.Set(walk.Index(), value);
      }
    } catch (...) {
      // A failing assignment leaves the element as it was.
    }
  }
}

Variant DecodeArrayStream(const BagReader& bag, std::optional<std::int32_t> expected_type,
                          DecodeState& state) {
  const std::optional<std::int32_t> word = StreamHeaderWord(bag);
  if (!word) return Variant(kNull);
  const StreamHeader header = UnpackStreamHeader(*word);
  if (header.kind != kArrayStreamKind) return Variant(kNull);

  const std::size_t dims = header.dimensions < 0 ? 0 : static_cast<std::size_t>(header.dimensions);
  const bool empty = dims == 0 || header.empty;
  if (header.version != kArrayFormatVersion) return Variant();  // Empty
  if (dims > kMaxEncodedDimensions) return Variant(kNull);
  const std::int16_t element_type = header.element_type;
  if (element_type == 0) return Variant(kNull);

  BoundsTable table;
  if (!empty) {
    if (expected_type) {
      const std::int32_t expected = *expected_type & 0xFF;
      if (expected <= 0 || expected != element_type) return Variant(kNull);
    }
    table.bounds.resize(dims);
    std::string key;
    for (std::size_t d = 0; d < dims; ++d) {
      BoundKey('D', d + 1, key);
      const auto lower = ReadBound(bag, key);
      BoundKey('G', d + 1, key);
      const auto upper = ReadBound(bag, key);
      if (!lower || !upper) return Variant(kNull);
      table.bounds[d] = ArrayBound{*lower, *upper};
    }
  }

  // Arrays of objects and other types that are not rebuilt stop here, before
  // anything is allocated.
  if (!IsRebuiltType(element_type)) return Variant(kNull);
  if (empty) return NewTypedArray(element_type, table, true);
  for (const ArrayBound& b : table.bounds) {
    if (b.upper < b.lower) return Variant(kNull);
  }

  const std::optional<BagReader> elements = ElementBag(bag);
  if (!elements) return Variant(kNull);

  // The resource rule: elements without an entry draw on the shared allowance.
  const std::uint64_t count = ElementCount(table.bounds);
  const std::uint64_t present = elements->Size();
  const std::uint64_t missing = count > present ? count - present : 0;
  if (missing > state.missing_budget) return Variant(kNull);
  state.missing_budget -= missing;

  Variant result = NewTypedArray(element_type, table, false);
  if (result.IsNull()) return result;
  FillFromElementBag(*elements, result.MutableArray(), table.bounds, true, state);
  return result;
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

BoundsTable ArrayBoundsTable(const Variant& value) noexcept {
  BoundsTable table;
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

Variant ArrayFromStream(std::span<const std::uint8_t> bytes,
                        std::optional<std::int32_t> expected_type) noexcept {
  try {
    const std::optional<BagReader> bag = BagReader::TryParse(bytes);
    if (!bag) return Variant(kNull);
    DecodeState state = StateFor(bytes.size());
    return DecodeArrayStream(*bag, expected_type, state);
  } catch (...) {
    return Variant(kNull);
  }
}

Variant ValueFromStored(const Variant& stored) noexcept {
  try {
    if (!stored.IsArray()) return stored;
    const SafeArray& array = *stored.ArrayPtr();
    if (array.ElementType() != VarType::UI1) return Variant();
    const std::span<const std::uint8_t> bytes = array.ByteSpan();
    DecodeState state = StateFor(bytes.size());
    return ValueFromStreamBytes(bytes, state);
  } catch (...) {
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

Variant NewTypedArray(std::int16_t element_type, const BoundsTable& bounds, bool empty) noexcept {
  if (!IsRebuiltType(element_type)) return Variant(kNull);
  const VarType type = RebuiltElementType(element_type);
  try {
    if (empty || bounds.Dims() == 0 || bounds.Dims() > kMaxEncodedDimensions) {
      return Variant(SafeArray(type));
    }
    for (const ArrayBound& b : bounds.bounds) {
      if (b.upper < b.lower) return Variant(kNull);
    }
    return Variant(SafeArray(type, bounds.bounds));
  } catch (...) {
    return Variant(kNull);
  }
}

bool FillArrayFromStream(std::span<const std::uint8_t> bytes, Variant& target,
                         const BoundsTable& bounds) noexcept {
  try {
    const std::optional<BagReader> bag = BagReader::TryParse(bytes);
    if (!bag) return false;
    const std::optional<BagReader> elements = ElementBag(*bag);
    if (!elements) return false;
    // Every assignment into something that is no array fails.
    if (!target.IsArray()) return true;
    DecodeState state = StateFor(bytes.size());
    FillFromElementBag(*elements, target.MutableArray(), bounds.bounds, false, state);
    return true;
  } catch (...) {
    return true;  // the elements assigned so far stay
  }
}

}  // namespace replikon
