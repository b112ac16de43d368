// The property bag and its serialised form. The layout is described in
// docs/property-bag-format.md; every integer is little-endian and is read and
// written through byte_order.hpp, so the code neither depends on the host's
// byte order nor on the alignment of the data.
#include "replikon/automation/property_bag.hpp"

#include <array>
#include <bit>
#include <chrono>
#include <cstring>
#include <functional>
#include <limits>
#include <new>
#include <random>
#include <string_view>
#include <type_traits>

#include "automation/bag_codec.hpp"
#include "automation/byte_order.hpp"
#include "automation/key_hash.hpp"
#include "replikon/automation/error.hpp"

namespace replikon {

namespace detail {

namespace {

SipKey MakeProcessKey() noexcept {
  SipKey key;
  try {
    std::random_device device;
    key.k0 = (static_cast<std::uint64_t>(device()) << 32) ^ device();
    key.k1 = (static_cast<std::uint64_t>(device()) << 32) ^ device();
  } catch (...) {
    // No entropy source: fall back to the clock and an address, which still
    // differ from run to run.
    const auto now =
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    key.k0 = now * 0x9e3779b97f4a7c15ULL;
    key.k1 = reinterpret_cast<std::uintptr_t>(&key) ^ (now >> 7);
  }
  return key;
}

}  // namespace

std::uint64_t KeyHash(std::string_view key) noexcept {
  static const SipKey process_key = MakeProcessKey();
  return SipHash<1, 3>(process_key, key);
}

}  // namespace detail

namespace {

// ---------------------------------------------------------------------------
// Layout constants

constexpr const std::uint8_t (&kSignature)[4] = detail::kBagSignature;
constexpr std::uint16_t kFormatVersion = detail::kBagFormatVersion;
constexpr std::size_t kHeaderSize = BagReader::kHeaderSize;
constexpr std::size_t kCountOffset = 8;
// Key length, type code and nothing else (an Empty value under an empty key).
constexpr std::size_t kMinEntrySize = 6;
// dimension count, lower bound, element count
constexpr std::size_t kByteArrayHeadSize = 9;
constexpr std::size_t kDecimalSize = 16;
constexpr std::uint8_t kMaxDecimalScale = 28;
constexpr std::uint8_t kDecimalNegative = 0x80;

constexpr std::uint16_t kByteArrayCode = Code(kByteArrayType);

// Bags with more entries than this get a hash index; smaller ones are searched
// in order, which is faster for them (an object's bag, with a dozen or so
// entries, is cheaper to check for repeated keys pair by pair than to hash).
constexpr std::size_t kIndexThreshold = 16;
constexpr std::size_t kNotFound = static_cast<std::size_t>(-1);

using detail::LoadU16;
using detail::LoadU32;
using detail::LoadU64;
using detail::StoreU16;
using detail::StoreU32;
using detail::StoreU64;

// Most values copied are short strings (class and property values), which
// are copied as keys are.
inline std::uint8_t* StoreBytes(std::uint8_t* p, const void* data, std::size_t n) noexcept {
  detail::CopyKey(p, static_cast<const char*>(data), n);
  return p + n;
}

using detail::SameBagKey;

// A bit of a 64-bit filter over the keys of a small bag: equal keys set the
// same bit, so a key whose bit no earlier key has set repeats none of them and
// needs no comparison. Made from the length and the first and last bytes,
// which tell apart most keys of a typical bag (property names, and element
// indices "0", "1", ..., "0.5", "1.5", ...).
inline std::uint64_t KeyFilterBit(std::string_view key) noexcept {
  if (key.empty()) return 1;
  const auto first = static_cast<unsigned char>(key.front());
  const auto last = static_cast<unsigned char>(key.back());
  return std::uint64_t{1} << ((first + 7 * last + 13 * key.size()) & 63);
}

// ---------------------------------------------------------------------------
// Key index: open addressing with linear probing over entry positions. A slot
// holds the entry's position + 1 in its low 32 bits (0 marks a free slot) and
// the high 32 bits of the key's hash above them, so that probing past other
// keys rarely has to look at an entry. The table is kept at most half full.

using Slot = std::uint64_t;

std::size_t SlotCountFor(std::size_t entries) noexcept {
  std::size_t slots = 32;
  while (slots < 2 * entries) slots <<= 1;
  return slots;
}

constexpr std::size_t SlotPosition(Slot slot) noexcept {
  return static_cast<std::size_t>(slot & 0xFFFFFFFFu) - 1;
}

// Inserts `pos` under `key`, whose KeyHash is `hash`; when an entry with an
// equal key is indexed already, leaves the table alone and returns that
// entry's position.
template <class KeyAt>
std::size_t SlotInsertHashed(std::vector<Slot>& slots, std::string_view key, std::uint64_t hash,
                             std::size_t pos, const KeyAt& key_at) noexcept {
  const Slot tag = hash & ~Slot{0xFFFFFFFFu};
  const std::size_t mask = slots.size() - 1;
  for (std::size_t s = static_cast<std::size_t>(hash) & mask;; s = (s + 1) & mask) {
    const Slot held = slots[s];
    if (held == 0) {
      slots[s] = tag | (pos + 1);
      return kNotFound;
    }
    if ((held & ~Slot{0xFFFFFFFFu}) == tag && key_at(SlotPosition(held)) == key) {
      return SlotPosition(held);
    }
  }
}

template <class KeyAt>
std::size_t SlotInsert(std::vector<Slot>& slots, std::string_view key, std::size_t pos,
                       const KeyAt& key_at) noexcept {
  return SlotInsertHashed(slots, key, detail::KeyHash(key), pos, key_at);
}

template <class KeyAt>
std::size_t SlotFind(const std::vector<Slot>& slots, std::string_view key,
                     const KeyAt& key_at) noexcept {
  const std::uint64_t hash = detail::KeyHash(key);
  const Slot tag = hash & ~Slot{0xFFFFFFFFu};
  const std::size_t mask = slots.size() - 1;
  for (std::size_t s = static_cast<std::size_t>(hash) & mask;; s = (s + 1) & mask) {
    const Slot held = slots[s];
    if (held == 0) return kNotFound;
    if ((held & ~Slot{0xFFFFFFFFu}) == tag && key_at(SlotPosition(held)) == key) {
      return SlotPosition(held);
    }
  }
}

// A table over `count` entries with distinct keys, with room for `room` entries.
template <class KeyAt>
std::vector<Slot> BuildSlots(std::size_t count, std::size_t room, const KeyAt& key_at) {
  std::vector<Slot> slots(SlotCountFor(room), 0);
  for (std::size_t i = 0; i < count; ++i) SlotInsert(slots, key_at(i), i, key_at);
  return slots;
}

// Indexes `count` entries into an empty table, stopping at the first key that
// repeats an earlier one; gives that entry's position, or kNotFound. In a large
// table nearly every slot visited is a cache miss, so the slots of the next
// few keys are fetched while the current one goes in.
template <class KeyAt>
std::size_t IndexDistinct(std::vector<Slot>& slots, std::size_t count, const KeyAt& key_at) {
  constexpr std::size_t kAhead = 8;
  const std::size_t mask = slots.size() - 1;
  std::uint64_t hashes[kAhead];
  auto fetch = [&](std::size_t i) {
    const std::uint64_t hash = detail::KeyHash(key_at(i));
    hashes[i % kAhead] = hash;
    __builtin_prefetch(slots.data() + (static_cast<std::size_t>(hash) & mask), 1);
  };
  for (std::size_t i = 0; i < count && i < kAhead; ++i) fetch(i);
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint64_t hash = hashes[i % kAhead];
    if (SlotInsertHashed(slots, key_at(i), hash, i, key_at) != kNotFound) return i;
    if (i + kAhead < count) fetch(i + kAhead);
  }
  return kNotFound;
}

// ---------------------------------------------------------------------------
// Values

// How a value goes into a bag: its type code and the size of its payload.
struct ValuePlan {
  VarType type;
  std::size_t payload;
};

// The plan for a value, or nullopt when the bag cannot hold it. Looks at the
// value's type once: this runs for every entry written.
std::optional<ValuePlan> PlanValue(const Variant& value) noexcept {
  const VarType type = value.Type();
  switch (Code(type)) {
    case Code(VarType::Empty):
    case Code(VarType::Null):
      return ValuePlan{type, 0};
    case Code(VarType::UI1):
      return ValuePlan{type, 1};
    case Code(VarType::I2):
    case Code(VarType::Bool):
      return ValuePlan{type, 2};
    case Code(VarType::I4):
    case Code(VarType::R4):
    case Code(VarType::Error):
      return ValuePlan{type, 4};
    case Code(VarType::R8):
    case Code(VarType::Cy):
    case Code(VarType::Date):
      return ValuePlan{type, 8};
    case Code(VarType::Decimal):
      if (value.GetIf<Decimal>()->scale > kMaxDecimalScale) return std::nullopt;
      return ValuePlan{type, kDecimalSize};
    case Code(VarType::BStr): {
      const std::size_t length = value.GetIf<std::string>()->size();
      if (length > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
      return ValuePlan{type, 4 + length};
    }
    case kByteArrayCode: {
      const auto* array = value.GetIf<std::shared_ptr<SafeArray>>();
      if (array == nullptr || *array == nullptr) return std::nullopt;
      const SafeArray& a = **array;
      if (a.Dims() == 0) return ValuePlan{type, 1};
      if (a.Dims() != 1 || a.Count() > SafeArray::kMaxElements) return std::nullopt;
      return ValuePlan{type, kByteArrayHeadSize + a.Count()};
    }
    default:
      return std::nullopt;
  }
}

// Stores a value the bag can hold: `head(type, payload size)` lays out the
// entry's head and gives where the payload goes, which is then stored there.
// One look at the value's type decides both, for the writers of every entry.
// Raises 13 (before calling `head`) for a value the bag cannot hold; agrees
// with PlanValue.
//
// `value.template GetIf<T>()` gives the value as the C++ type that a Variant
// holds for `type`: a Variant, or a PlainValue.
template <class Value, class Head>
void StoreValue(VarType type, const Value& value, const Head& head) {
  switch (Code(type)) {
    case Code(VarType::Empty):
    case Code(VarType::Null):
      head(type, 0);
      return;
    case Code(VarType::I2):
      StoreU16(head(type, 2), static_cast<std::uint16_t>(*value.template GetIf<std::int16_t>()));
      return;
    case Code(VarType::I4):
      StoreU32(head(type, 4), static_cast<std::uint32_t>(*value.template GetIf<std::int32_t>()));
      return;
    case Code(VarType::R4):
      StoreU32(head(type, 4), std::bit_cast<std::uint32_t>(*value.template GetIf<float>()));
      return;
    case Code(VarType::R8):
      StoreU64(head(type, 8), std::bit_cast<std::uint64_t>(*value.template GetIf<double>()));
      return;
    case Code(VarType::Cy):
      StoreU64(head(type, 8), static_cast<std::uint64_t>(value.template GetIf<Currency>()->scaled));
      return;
    case Code(VarType::Date):
      StoreU64(head(type, 8), std::bit_cast<std::uint64_t>(value.template GetIf<Date>()->days));
      return;
    case Code(VarType::BStr): {
      const std::string& s = *value.template GetIf<std::string>();
      if (s.size() > std::numeric_limits<std::uint32_t>::max()) break;
      std::uint8_t* p = StoreU32(head(type, 4 + s.size()), static_cast<std::uint32_t>(s.size()));
      StoreBytes(p, s.data(), s.size());
      return;
    }
    case Code(VarType::Error):
      StoreU32(head(type, 4), static_cast<std::uint32_t>(value.template GetIf<ErrorCode>()->scode));
      return;
    case Code(VarType::Bool):
      StoreU16(head(type, 2), *value.template GetIf<bool>() ? 0xFFFF : 0);
      return;
    case Code(VarType::Decimal): {
      const Decimal& d = *value.template GetIf<Decimal>();
      if (d.scale > kMaxDecimalScale) break;
      std::uint8_t* p = head(type, kDecimalSize);
      *p++ = d.scale;
      *p++ = d.negative ? kDecimalNegative : 0;
      p = StoreU16(p, 0);
      p = StoreU32(p, d.hi);
      StoreU64(p, d.lo);
      return;
    }
    case Code(VarType::UI1):
      *head(type, 1) = *value.template GetIf<std::uint8_t>();
      return;
    case kByteArrayCode: {
      const auto* held = value.template GetIf<std::shared_ptr<SafeArray>>();
      if (held == nullptr || *held == nullptr) break;
      const SafeArray& array = **held;
      if (array.Dims() == 0) {
        *head(type, 1) = 0;
        return;
      }
      if (array.Dims() != 1 || array.Count() > SafeArray::kMaxElements) break;
      const std::span<const std::uint8_t> bytes = array.ByteSpan();
      std::uint8_t* p = head(type, kByteArrayHeadSize + bytes.size());
      *p++ = 1;
      p = StoreU32(p, static_cast<std::uint32_t>(array.Bounds()[0].lower));
      p = StoreU32(p, static_cast<std::uint32_t>(bytes.size()));
      StoreBytes(p, bytes.data(), bytes.size());
      return;
    }
    default:
      break;
  }
  errors::Raise(errors::kTypeMismatch);
}

template <class Head>
void StoreValue(const Variant& value, const Head& head) {
  StoreValue(value.Type(), value, head);
}

// A value of a plain type, held where the caller keeps it (BagWriter::WritePlain).
struct PlainValue {
  const void* held;
  template <class T>
  const T* GetIf() const noexcept {
    if constexpr (std::is_same_v<T, std::shared_ptr<SafeArray>>) {
      return nullptr;  // arrays are not plain values
    } else {
      return static_cast<const T*>(held);
    }
  }
};

void CheckKey(std::string_view key) {
  if (key.size() > std::numeric_limits<std::uint32_t>::max()) {
    errors::Raise(errors::kInvalidProcedureCall, "Property bag key is too long");
  }
}

ValuePlan CheckHeld(const Variant& value) {
  const std::optional<ValuePlan> plan = PlanValue(value);
  if (!plan) errors::Raise(errors::kTypeMismatch);
  return *plan;
}

// Where `data` lies inside the buffer's current contents, or kNotFound. Keys
// and bytes handed to a writer may be views into its own buffer (copying an
// earlier entry), and growing the buffer would leave them dangling.
std::size_t OffsetInside(const void* data, const std::vector<std::uint8_t>& out) noexcept {
  const auto* p = static_cast<const std::uint8_t*>(data);
  const std::less<const std::uint8_t*> before;
  if (p == nullptr || before(p, out.data()) || !before(p, out.data() + out.size()))
    return kNotFound;
  return static_cast<std::size_t>(p - out.data());
}

// Appends `extra` bytes to the buffer; `data` (which may point into the
// buffer) gives back where its bytes are afterwards.
std::uint8_t* Grow(std::vector<std::uint8_t>& out, std::size_t extra, const void*& data) {
  const std::size_t inside = OffsetInside(data, out);
  const std::size_t at = out.size();
  out.resize(at + extra);
  if (inside != kNotFound) data = out.data() + inside;
  return out.data() + at;
}

// ---------------------------------------------------------------------------
// Parsing

enum class Fault : std::uint8_t {
  None,
  ShortHeader,
  Signature,
  Version,
  Flags,
  Count,
  Truncated,
  UnknownType,
  BadBool,
  BadDecimal,
  BadByteArray,
  DuplicateKey,
  Trailing,
};

// What is wrong with bytes that are not a serialised bag; kept free of
// allocations so that refusing hostile bytes costs little.
struct ParseFault {
  Fault fault = Fault::None;
  std::uint64_t value = 0;  // version, flags, count, type code or trailing bytes
  std::size_t entry = 0;    // 1-based entry number
  std::size_t offset = 0;   // where the entry (or the trailing bytes) start
  const char* part = "";    // for truncation: the part that is cut off
  explicit operator bool() const noexcept { return fault != Fault::None; }
};

// What is wrong, as Describe says it after its lead.
std::string DescribeFault(const ParseFault& f) {
  std::string what;
  const std::string where =
      "entry " + std::to_string(f.entry) + " at offset " + std::to_string(f.offset);
  switch (f.fault) {
    case Fault::None:
      break;
    case Fault::ShortHeader:
      what = "too short for a bag header (" + std::to_string(f.value) + " bytes)";
      break;
    case Fault::Signature:
      what = "no bag signature";
      break;
    case Fault::Version:
      what = "unsupported format version " + std::to_string(f.value);
      break;
    case Fault::Flags:
      what = "unknown header flags " + std::to_string(f.value);
      break;
    case Fault::Count:
      what = "entry count " + std::to_string(f.value) + " exceeds the data";
      break;
    case Fault::Truncated:
      what = "truncated " + where + " (cut off in " + f.part + ")";
      break;
    case Fault::UnknownType:
      what = "unknown type code " + std::to_string(f.value) + " in " + where;
      break;
    case Fault::BadBool:
      what =
          "invalid Boolean " + std::to_string(static_cast<std::int16_t>(f.value)) + " in " + where;
      break;
    case Fault::BadDecimal:
      what = std::string("invalid decimal (") + f.part + ") in " + where;
      break;
    case Fault::BadByteArray:
      what = std::string("invalid byte array (") + f.part + ") in " + where;
      break;
    case Fault::DuplicateKey:
      what = "duplicate key in " + where;
      break;
    case Fault::Trailing:
      what = std::to_string(f.value) + (f.value == 1 ? " byte" : " bytes") +
             " after the last entry, at offset " + std::to_string(f.offset);
      break;
  }
  return what;
}

std::string Describe(const ParseFault& f) {
  return "Invalid property bag contents: " + DescribeFault(f);
}

// Checks the payload of one value of type `code` at the start of `rest` and
// gives its size; on failure fills `fault` (fault, value, part) and gives kNotFound.
[[gnu::always_inline]] inline std::size_t CheckPayload(std::uint16_t code,
                                                       std::span<const std::uint8_t> rest,
                                                       ParseFault& fault) noexcept {
  const std::uint8_t* p = rest.data();
  const std::size_t avail = rest.size();
  auto truncated = [&](const char* part) {
    fault.fault = Fault::Truncated;
    fault.part = part;
    return kNotFound;
  };
  auto fixed = [&](std::size_t size) { return size <= avail ? size : truncated("the value"); };
  switch (code) {
    case Code(VarType::Empty):
    case Code(VarType::Null):
      return 0;
    case Code(VarType::UI1):
      return fixed(1);
    case Code(VarType::I2):
      return fixed(2);
    case Code(VarType::I4):
    case Code(VarType::R4):
    case Code(VarType::Error):
      return fixed(4);
    case Code(VarType::R8):
    case Code(VarType::Cy):
    case Code(VarType::Date):
      return fixed(8);
    case Code(VarType::BStr): {
      if (avail < 4) return truncated("the string length");
      const std::uint32_t length = LoadU32(p);
      if (length > avail - 4) return truncated("the string");
      return 4 + std::size_t{length};
    }
    case Code(VarType::Bool): {
      if (avail < 2) return truncated("the value");
      const std::uint16_t v = LoadU16(p);
      if (v != 0 && v != 0xFFFF) {
        fault.fault = Fault::BadBool;
        fault.value = v;
        return kNotFound;
      }
      return 2;
    }
    case Code(VarType::Decimal): {
      if (avail < kDecimalSize) return truncated("the value");
      fault.fault = Fault::BadDecimal;
      if (p[0] > kMaxDecimalScale) {
        fault.part = "scale above 28";
        return kNotFound;
      }
      if (p[1] != 0 && p[1] != kDecimalNegative) {
        fault.part = "sign byte";
        return kNotFound;
      }
      if (LoadU16(p + 2) != 0) {
        fault.part = "reserved bytes";
        return kNotFound;
      }
      fault.fault = Fault::None;
      return kDecimalSize;
    }
    case kByteArrayCode: {
      if (avail < 1) return truncated("the dimension count");
      if (p[0] == 0) return 1;
      if (p[0] != 1) {
        fault.fault = Fault::BadByteArray;
        fault.part = "dimension count";
        return kNotFound;
      }
      if (avail < kByteArrayHeadSize) return truncated("the bounds");
      const auto lower = static_cast<std::int32_t>(LoadU32(p + 1));
      const std::uint32_t count = LoadU32(p + 5);
      if (count > avail - kByteArrayHeadSize) return truncated("the bytes");
      const std::int64_t upper = std::int64_t{lower} + count - 1;
      if (upper < std::numeric_limits<std::int32_t>::min() ||
          upper > std::numeric_limits<std::int32_t>::max() || count > SafeArray::kMaxElements) {
        fault.fault = Fault::BadByteArray;
        fault.part = "bounds out of range";
        return kNotFound;
      }
      return kByteArrayHeadSize + std::size_t{count};
    }
    default:
      fault.fault = Fault::UnknownType;
      fault.value = code;
      return kNotFound;
  }
}

// The payload sizes of the types whose payload is a fixed number of bytes
// that any value may take, by type code; kVaries for the others, whose payload
// CheckPayload measures and checks.
constexpr std::int8_t kVaries = -1;
constexpr std::array<std::int8_t, 18> kFixedPayload = {
    0,  // Empty
    0,  // Null
    2,  // I2
    4,  // I4
    4,  // R4
    8,  // R8
    8,  // CY
    8,  // DATE
    kVaries, kVaries,
    4,  // ERROR
    kVaries, kVaries, kVaries, kVaries, kVaries, kVaries,
    1,  // UI1
};

// Checks the header of a serialised bag and gives its entry count, which the
// bytes after the header can hold; on failure fills `f` and gives nullopt.
std::optional<std::uint32_t> CheckHeader(std::span<const std::uint8_t> bytes,
                                         ParseFault& f) noexcept {
  const std::uint8_t* const base = bytes.data();
  const std::size_t size = bytes.size();
  if (size < kHeaderSize) {
    f.fault = Fault::ShortHeader;
    f.value = size;
    return std::nullopt;
  }
  if (std::memcmp(base, kSignature, sizeof kSignature) != 0) {
    f.fault = Fault::Signature;
    return std::nullopt;
  }
  if (const std::uint16_t version = LoadU16(base + 4); version != kFormatVersion) {
    f.fault = Fault::Version;
    f.value = version;
    return std::nullopt;
  }
  if (const std::uint16_t flags = LoadU16(base + 6); flags != 0) {
    f.fault = Fault::Flags;
    f.value = flags;
    return std::nullopt;
  }
  const std::uint32_t count = LoadU32(base + kCountOffset);
  if (count > (size - kHeaderSize) / kMinEntrySize) {
    f.fault = Fault::Count;
    f.value = count;
    return std::nullopt;
  }
  return count;
}

// Parses a serialised bag into entries that view `bytes`, and for larger bags
// a key index. Never raises for bad bytes (only std::bad_alloc can escape);
// on failure the outputs hold no useful data.
ParseFault ParseBag(std::span<const std::uint8_t> bytes, std::vector<BagReader::Entry>& entries,
                    std::vector<Slot>& slots) {
  ParseFault f;
  const std::optional<std::uint32_t> header_count = CheckHeader(bytes, f);
  if (!header_count) return f;
  const std::uint32_t count = *header_count;
  const std::uint8_t* const base = bytes.data();
  const std::size_t size = bytes.size();

  // The header's count is bounded by the bytes, so sizing the table for it
  // up front is safe; each pass of the loop fills its own entry.
  entries.resize(count);
  slots.clear();
  const bool indexed = count > kIndexThreshold;

  const std::uint8_t* p = base + kHeaderSize;
  const std::uint8_t* const end = base + size;
  std::uint64_t seen = 0;  // KeyFilterBit of the keys so far (small bags)
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t* const start = p;
    auto failed = [&f, i, start, base]() {
      f.entry = i + 1;
      f.offset = static_cast<std::size_t>(start - base);
      return f;
    };
    auto truncated = [&f, &failed](const char* part) {
      f.fault = Fault::Truncated;
      f.part = part;
      return failed();
    };
    if (end - p < 4) return truncated("the key length");
    const std::uint32_t key_length = LoadU32(p);
    p += 4;
    // One test covers the key and the type code after it.
    if (std::size_t{key_length} + 2 > static_cast<std::size_t>(end - p)) {
      return truncated(key_length > static_cast<std::size_t>(end - p) ? "the key"
                                                                      : "the type code");
    }
    const std::string_view key(reinterpret_cast<const char*>(p), key_length);
    p += key_length;
    const std::uint16_t code = LoadU16(p);
    p += 2;
    const std::size_t avail = static_cast<std::size_t>(end - p);
    std::size_t payload = 0;
    if (const std::int8_t fixed = code < kFixedPayload.size() ? kFixedPayload[code] : kVaries;
        fixed != kVaries && static_cast<std::size_t>(fixed) <= avail) {
      payload = static_cast<std::size_t>(fixed);
    } else {
      payload = CheckPayload(code, std::span<const std::uint8_t>(p, avail), f);
      if (payload == kNotFound) return failed();
    }

    if (!indexed) {
      const std::uint64_t bit = KeyFilterBit(key);
      if ((seen & bit) != 0) {
        for (std::size_t j = 0; j < i; ++j) {
          if (SameBagKey(entries[j].key, key)) {
            f.fault = Fault::DuplicateKey;
            return failed();
          }
        }
      }
      seen |= bit;
    }
    entries[i] = BagReader::Entry{key, static_cast<VarType>(code),
                                  std::span<const std::uint8_t>(p, payload)};
    p += payload;
  }
  if (p != end) {
    f.fault = Fault::Trailing;
    f.value = static_cast<std::size_t>(end - p);
    f.offset = static_cast<std::size_t>(p - base);
    f.entry = 0;
    return f;
  }
  if (indexed) {
    // Larger bags are checked for repeated keys, and indexed, in one pass.
    slots.assign(SlotCountFor(count), 0);
    const std::size_t repeat =
        IndexDistinct(slots, count, [&entries](std::size_t i) { return entries[i].key; });
    if (repeat != kNotFound) {
      f.fault = Fault::DuplicateKey;
      f.entry = repeat + 1;
      f.offset = static_cast<std::size_t>(
                     reinterpret_cast<const std::uint8_t*>(entries[repeat].key.data()) - base) -
                 4;
    }
  }
  return f;
}

[[noreturn]] void RaiseBadPayload(const char* what) {
  errors::Raise(errors::kInvalidProcedureCall,
                std::string("Invalid property bag contents: ") + what);
}

// Passes the value of a payload that CheckPayload accepts whole to `take`, as
// the C++ type that a Variant of its type holds (a string as a view of its
// bytes), where the type is a plain one; calls `other` for Empty, Null and a
// byte array. Returns what the call returns.
template <class Take, class Other>
[[gnu::always_inline]] inline decltype(auto) WithPlainValue(VarType type,
                                                            std::span<const std::uint8_t> payload,
                                                            Take&& take, Other&& other) {
  const std::uint8_t* p = payload.data();
  switch (type) {
    case VarType::I2:
      return take(static_cast<std::int16_t>(LoadU16(p)));
    case VarType::I4:
      return take(static_cast<std::int32_t>(LoadU32(p)));
    case VarType::R4:
      return take(std::bit_cast<float>(LoadU32(p)));
    case VarType::R8:
      return take(std::bit_cast<double>(LoadU64(p)));
    case VarType::Cy:
      return take(Currency{static_cast<std::int64_t>(LoadU64(p))});
    case VarType::Date:
      return take(Date{std::bit_cast<double>(LoadU64(p))});
    case VarType::BStr:
      return take(std::string_view(reinterpret_cast<const char*>(p + 4), payload.size() - 4));
    case VarType::Error:
      return take(ErrorCode{static_cast<std::int32_t>(LoadU32(p))});
    case VarType::Bool:
      return take(LoadU16(p) != 0);
    case VarType::Decimal:
      return take(Decimal{LoadU32(p + 4), LoadU64(p + 8), p[0], p[1] == kDecimalNegative});
    case VarType::UI1:
      return take(p[0]);
    default:
      return other();
  }
}

// The value of a payload of type `type` that CheckPayload accepts whole.
Variant DecodeChecked(VarType type, std::span<const std::uint8_t> payload) {
  return WithPlainValue(
      type, payload,
      [](auto value) {
        if constexpr (std::is_same_v<decltype(value), std::string_view>) {
          return Variant(std::string(value));
        } else {
          return Variant(value);
        }
      },
      [type, payload] {
        if (type == VarType::Empty) return Variant();
        if (type == VarType::Null) return Variant(kNull);
        // A byte array, the only other type that passes CheckPayload.
        const std::uint8_t* p = payload.data();
        if (p[0] == 0) return Variant(SafeArray::UnallocatedBytes());
        return Variant(SafeArray::FromBytes(payload.subspan(kByteArrayHeadSize),
                                            static_cast<std::int32_t>(LoadU32(p + 1))));
      });
}

// The value of a payload of type `type`. Checks the payload again, so that an
// Entry made by hand cannot lead to a read out of bounds.
Variant DecodeValue(VarType type, std::span<const std::uint8_t> payload) {
  ParseFault f;
  const std::size_t size = CheckPayload(Code(type), payload, f);
  if (size == kNotFound) {
    RaiseBadPayload(f.fault == Fault::UnknownType ? "unknown type code" : "malformed value");
  }
  if (size != payload.size()) RaiseBadPayload("value of the wrong size");
  return DecodeChecked(type, payload);
}

}  // namespace

// ---------------------------------------------------------------------------
// BagCanHold

bool BagCanHold(const Variant& value) noexcept {
  return PlanValue(value).has_value();
}

// ---------------------------------------------------------------------------
// PropertyBag

std::size_t PropertyBag::IndexOf(std::string_view key) const noexcept {
  if (!index_.empty()) {
    return SlotFind(index_, key,
                    [this](std::size_t i) -> std::string_view { return entries_[i].first; });
  }
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    if (entries_[i].first == key) return i;
  }
  return kNotFound;
}

void PropertyBag::Append(std::string_view key, const Variant& value) {
  const std::size_t n = entries_.size();
  const auto key_at = [this](std::size_t i) -> std::string_view { return entries_[i].first; };
  // Make room in the index first: if that fails, nothing has changed.
  if (n + 1 > kIndexThreshold && 2 * (n + 1) > index_.size()) {
    std::vector<Slot> grown = BuildSlots(n, n + 1, key_at);
    index_.swap(grown);
  }
  entries_.emplace_back(std::string(key), value);
  if (!index_.empty()) SlotInsert(index_, entries_.back().first, n, key_at);
}

void PropertyBag::RemoveAt(std::size_t i) {
  const std::size_t remaining = entries_.size() - 1;
  std::vector<Slot> slots;
  if (remaining > kIndexThreshold) {
    slots = BuildSlots(remaining, remaining, [this, i](std::size_t j) -> std::string_view {
      return entries_[j < i ? j : j + 1].first;
    });
  }
  entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(i));
  index_.swap(slots);
}

void PropertyBag::WriteProperty(std::string_view key, const Variant& value,
                                const Variant& default_value) {
  CheckKey(key);
  CheckHeld(value);
  const std::size_t at = IndexOf(key);
  if (!default_value.IsMissing() && value == default_value) {
    if (at != kNotFound) RemoveAt(at);
    return;
  }
  if (at != kNotFound) {
    Variant copy = value;
    entries_[at].second = std::move(copy);
  } else {
    Append(key, value);
  }
}

Variant PropertyBag::ReadProperty(std::string_view key, const Variant& default_value) const {
  const std::size_t at = IndexOf(key);
  return at == kNotFound ? default_value : entries_[at].second;
}

bool PropertyBag::Contains(std::string_view key) const noexcept {
  return IndexOf(key) != kNotFound;
}

std::vector<std::uint8_t> PropertyBag::Contents() const {
  std::size_t total = kHeaderSize;
  for (const auto& [key, value] : entries_) total += 4 + key.size() + 2 + CheckHeld(value).payload;
  std::vector<std::uint8_t> out(total);
  std::uint8_t* p =
      BagWriter::StoreBagHeader(out.data(), static_cast<std::uint32_t>(entries_.size()));
  for (const auto& [key, value] : entries_) {
    StoreValue(value, [&p, &key = key](VarType type, std::size_t payload) {
      std::uint8_t* at = BagWriter::StoreEntryHead(p, key, type);
      p = at + payload;
      return at;
    });
  }
  return out;
}

SafeArray PropertyBag::ContentsArray() const {
  return SafeArray::FromBytes(Contents());
}

void PropertyBag::SetContents(std::span<const std::uint8_t> bytes) {
  std::vector<BagReader::Entry> parsed;
  std::vector<Slot> slots;
  if (const ParseFault fault = ParseBag(bytes, parsed, slots)) {
    errors::Raise(errors::kInvalidProcedureCall, Describe(fault));
  }
  std::vector<std::pair<std::string, Variant>> entries;
  entries.reserve(parsed.size());
  for (const BagReader::Entry& e : parsed) {
    entries.emplace_back(std::string(e.key), DecodeValue(e.type, e.payload));
  }
  // The slots index positions, which are the same in both tables.
  entries_.swap(entries);
  index_.swap(slots);
}

void PropertyBag::SetContents(const Variant& bytes) {
  const auto* array = bytes.GetIf<std::shared_ptr<SafeArray>>();
  if (array == nullptr || *array == nullptr || (*array)->ElementType() != VarType::UI1) {
    errors::Raise(errors::kTypeMismatch);
  }
  // Keep the array alive while parsing, whatever the bytes were part of.
  const std::shared_ptr<SafeArray> hold = *array;
  SetContents(hold->ByteSpan());
}

// ---------------------------------------------------------------------------
// BagWriter

BagWriter::BagWriter(std::vector<std::uint8_t>& out) : out_(&out), start_(out.size()) {
  const void* none = nullptr;
  BagWriter::StoreBagHeader(Room(kHeaderSize, none), 0);
}

BagWriter::BagWriter(ChunkedBytes& out) : chunks_(&out), start_(out.Size()) {
  BagWriter::StoreBagHeader(out.Append(kHeaderSize), 0);
}

inline std::uint8_t* BagWriter::Room(std::size_t n, const void*& source) {
  // A ChunkedBytes never moves what it holds, so `source` stays valid.
  if (chunks_ != nullptr) return chunks_->Append(n);
  return Grow(*out_, n, source);
}

inline std::size_t BagWriter::Size() const noexcept {
  return chunks_ != nullptr ? chunks_->Size() : out_->size();
}

inline void BagWriter::StoreAt(std::size_t offset, std::uint32_t value) noexcept {
  if (chunks_ == nullptr) {
    StoreU32(out_->data() + offset, value);
    return;
  }
  std::uint8_t bytes[4];
  StoreU32(bytes, value);
  chunks_->Overwrite(offset, bytes, sizeof bytes);
}

namespace {
void CheckRoomForEntry(std::uint32_t count) {
  if (count == std::numeric_limits<std::uint32_t>::max()) errors::Raise(errors::kOutOfMemory);
}
// `key` where its bytes are now.
std::string_view KeyAt(const void* bytes, std::string_view key) noexcept {
  return std::string_view(static_cast<const char*>(bytes), key.size());
}
}  // namespace

template <class Value>
void BagWriter::WriteValue(std::string_view key, VarType type, const Value& value) {
  CheckKey(key);
  StoreValue(type, value, [this, key](VarType stored, std::size_t payload) {
    CheckRoomForEntry(count_);
    const void* key_bytes = key.data();
    std::uint8_t* p = Room(EntrySize(key.size(), payload), key_bytes);
    ++count_;
    return StoreEntryHead(p, KeyAt(key_bytes, key), stored);
  });
}

void BagWriter::Write(std::string_view key, const Variant& value) {
  WriteValue(key, value.Type(), value);
}

void BagWriter::WritePlain(std::string_view key, VarType type, const void* value) {
  WriteValue(key, type, PlainValue{value});
}

void BagWriter::WriteString(std::string_view key, std::string_view text) {
  CheckKey(key);
  CheckRoomForEntry(count_);
  if (text.size() > std::numeric_limits<std::uint32_t>::max()) errors::Raise(errors::kTypeMismatch);
  // The key and the text may lie in the buffer itself; keep track of them
  // while it grows.
  const void* key_bytes = key.data();
  const void* source = text.data();
  const std::size_t text_inside = out_ != nullptr ? OffsetInside(source, *out_) : kNotFound;
  std::uint8_t* p = Room(EntrySize(key.size(), 4 + text.size()), key_bytes);
  if (text_inside != kNotFound) source = out_->data() + text_inside;
  p = StoreEntryHead(p, KeyAt(key_bytes, key), VarType::BStr);
  p = StoreU32(p, static_cast<std::uint32_t>(text.size()));
  StoreBytes(p, source, text.size());
  ++count_;
}

void BagWriter::WriteBytes(std::string_view key, std::span<const std::uint8_t> bytes) {
  CheckKey(key);
  CheckRoomForEntry(count_);
  if (bytes.size() > SafeArray::kMaxElements) errors::Raise(errors::kOutOfMemory);
  // The key and the bytes may lie in the buffer itself; keep track of them
  // while it grows.
  const void* key_bytes = key.data();
  const void* source = bytes.data();
  const std::size_t bytes_inside = out_ != nullptr ? OffsetInside(source, *out_) : kNotFound;
  std::uint8_t* p = Room(EntrySize(key.size(), kByteArrayHeadSize + bytes.size()), key_bytes);
  if (bytes_inside != kNotFound) source = out_->data() + bytes_inside;
  p = StoreEntryHead(p, KeyAt(key_bytes, key), kByteArrayType);
  *p++ = 1;
  p = StoreU32(p, 0);
  p = StoreU32(p, static_cast<std::uint32_t>(bytes.size()));
  StoreBytes(p, source, bytes.size());
  ++count_;
}

std::uint8_t* BagWriter::AppendScalar(std::string_view key, VarType type) {
  std::size_t payload = 0;
  switch (type) {
    case VarType::UI1:
      payload = 1;
      break;
    case VarType::I2:
    case VarType::Bool:
      payload = 2;
      break;
    case VarType::I4:
    case VarType::R4:
    case VarType::Error:
      payload = 4;
      break;
    case VarType::R8:
    case VarType::Cy:
    case VarType::Date:
      payload = 8;
      break;
    default:
      errors::Raise(errors::kInvalidProcedureCall);
  }
  CheckKey(key);
  CheckRoomForEntry(count_);
  const void* key_bytes = key.data();
  std::uint8_t* p = Room(EntrySize(key.size(), payload), key_bytes);
  ++count_;
  return StoreEntryHead(p, KeyAt(key_bytes, key), type);
}

std::uint8_t* BagWriter::AppendEntries(std::size_t size, std::uint32_t count) {
  if (count > std::numeric_limits<std::uint32_t>::max() - count_) {
    errors::Raise(errors::kOutOfMemory);
  }
  const void* none = nullptr;
  std::uint8_t* p = Room(size, none);
  count_ += count;
  return p;
}

std::uint8_t* BagWriter::AppendNestedEntries(std::string_view key, std::size_t size,
                                             std::size_t count) {
  CheckKey(key);
  CheckRoomForEntry(count_);
  if (count > std::numeric_limits<std::uint32_t>::max() || size > SafeArray::kMaxElements) {
    errors::Raise(errors::kOutOfMemory);
  }
  const std::size_t bag_size = kHeaderSize + size;
  if (bag_size > SafeArray::kMaxElements) errors::Raise(errors::kOutOfMemory);
  const void* key_bytes = key.data();
  std::uint8_t* p = Room(EntrySize(key.size(), kByteArrayHeadSize + bag_size), key_bytes);
  p = StoreEntryHead(p, KeyAt(key_bytes, key), kByteArrayType);
  *p++ = 1;
  p = StoreU32(p, 0);
  p = StoreU32(p, static_cast<std::uint32_t>(bag_size));
  ++count_;
  return BagWriter::StoreBagHeader(p, static_cast<std::uint32_t>(count));
}

BagWriter::Pending BagWriter::BeginBytes(std::string_view key) {
  CheckKey(key);
  CheckRoomForEntry(count_);
  const std::size_t entry_offset = Size();
  const void* key_bytes = key.data();
  std::uint8_t* p = Room(EntrySize(key.size(), kByteArrayHeadSize), key_bytes);
  p = StoreEntryHead(p, KeyAt(key_bytes, key), kByteArrayType);
  *p++ = 1;
  StoreU32(p, 0);  // lower bound; the count after it is patched by EndBytes
  return Pending{Size() - 4, entry_offset};
}

namespace {
// Whether `pending` can be a BeginBytes of a writer whose bag starts at `start`
// and whose buffer holds `size` bytes.
bool PendingFits(const BagWriter::Pending& pending, std::size_t start, std::size_t size) noexcept {
  return size >= 4 && pending.entry_offset >= start + kHeaderSize &&
         pending.length_offset > pending.entry_offset && pending.length_offset <= size - 4;
}
}  // namespace

void BagWriter::EndBytes(Pending pending) {
  const std::size_t size = Size();
  if (!PendingFits(pending, start_, size)) {
    errors::Raise(errors::kInvalidProcedureCall, "No byte-array entry is open at that position");
  }
  const std::size_t length = size - (pending.length_offset + 4);
  if (length > SafeArray::kMaxElements) errors::Raise(errors::kOutOfMemory);
  StoreAt(pending.length_offset, static_cast<std::uint32_t>(length));
  ++count_;
}

void BagWriter::AbandonBytes(Pending pending) {
  if (!PendingFits(pending, start_, Size())) {
    errors::Raise(errors::kInvalidProcedureCall, "No byte-array entry is open at that position");
  }
  if (chunks_ != nullptr) {
    chunks_->Truncate(pending.entry_offset);
  } else {
    out_->resize(pending.entry_offset);
  }
}

void BagWriter::Finish() {
  if (Size() < start_ + kHeaderSize) {
    errors::Raise(errors::kInvalidProcedureCall, "The bag's header is no longer in the buffer");
  }
  StoreAt(start_ + kCountOffset, count_);
}

// ---------------------------------------------------------------------------
// BagReader

BagReader::BagReader(std::span<const std::uint8_t> bytes) {
  if (const ParseFault fault = ParseBag(bytes, entries_, index_)) {
    entries_.clear();
    index_.clear();
    errors::Raise(errors::kInvalidProcedureCall, Describe(fault));
  }
}

std::optional<BagReader::Fault> BagReader::FindFault(std::span<const std::uint8_t> bytes) {
  std::vector<Entry> entries;
  std::vector<Slot> slots;
  const ParseFault fault = ParseBag(bytes, entries, slots);
  if (!fault) return std::nullopt;
  return Fault{DescribeFault(fault), fault.offset};
}

std::optional<BagReader> BagReader::TryParse(std::span<const std::uint8_t> bytes) noexcept {
  std::optional<BagReader> reader(std::in_place);
  if (!reader->Load(bytes)) reader.reset();
  return reader;
}

bool BagReader::Load(std::span<const std::uint8_t> bytes) noexcept {
  try {
    return Parse(bytes);
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool BagReader::Parse(std::span<const std::uint8_t> bytes) {
  cursor_ = 0;
  try {
    if (!ParseBag(bytes, entries_, index_)) return true;
  } catch (const std::bad_alloc&) {
    entries_.clear();
    index_.clear();
    throw;
  }
  entries_.clear();
  index_.clear();
  return false;
}

std::optional<std::size_t> BagReader::HeaderCount(std::span<const std::uint8_t> bytes) noexcept {
  ParseFault f;
  return CheckHeader(bytes, f);
}

const BagReader::Entry* BagReader::Search(std::string_view key) const noexcept {
  const std::size_t n = entries_.size();
  std::size_t at = kNotFound;
  if (!index_.empty()) {
    at = SlotFind(index_, key, [this](std::size_t i) { return entries_[i].key; });
  } else {
    for (std::size_t i = 0; i < n; ++i) {
      if (SameBagKey(entries_[i].key, key)) {
        at = i;
        break;
      }
    }
  }
  if (at == kNotFound) return nullptr;
  cursor_ = at + 1;
  return &entries_[at];
}

Variant BagReader::ReadProperty(std::string_view key, const Variant& default_value) const {
  const Entry* e = Find(key);
  return e == nullptr ? default_value : DecodeChecked(e->type, e->payload);
}

std::optional<std::span<const std::uint8_t>> BagReader::ReadBytes(
    std::string_view key) const noexcept {
  const Entry* e = Find(key);
  if (e == nullptr) return std::nullopt;
  return BytesOf(*e);
}

std::optional<std::span<const std::uint8_t>> BagReader::BytesOf(const Entry& entry) noexcept {
  if (entry.type != kByteArrayType || entry.payload.size() < kByteArrayHeadSize ||
      entry.payload[0] != 1) {
    return std::nullopt;
  }
  return entry.payload.subspan(kByteArrayHeadSize);
}

Variant BagReader::Decode(const Entry& entry) {
  return DecodeValue(entry.type, entry.payload);
}

Variant BagReader::Value(const Entry& entry) const {
  if (!Holds(entry)) return Decode(entry);
  return DecodeChecked(entry.type, entry.payload);
}

bool BagReader::StoreValue(const Entry& entry, void* field) const {
  // The parse has checked the payload of each entry of this reader.
  if (!Holds(entry)) return false;
  return WithPlainValue(
      entry.type, entry.payload,
      [field](auto value) {
        using V = decltype(value);
        if constexpr (std::is_same_v<V, std::string_view>) {
          static_cast<std::string*>(field)->assign(value);
        } else {
          *static_cast<V*>(field) = value;
        }
        return true;
      },
      [] { return false; });
}

bool BagReader::Holds(const Entry& entry) const noexcept {
  const std::less<const Entry*> before;
  const Entry* const first = entries_.data();
  return !before(&entry, first) && before(&entry, first + entries_.size());
}

}  // namespace replikon
