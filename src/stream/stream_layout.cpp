#include "replikon/stream/stream_layout.hpp"

#include <exception>
#include <new>
#include <string>
#include <utility>

#include "automation/bag_codec.hpp"
#include "automation/out_of_memory.hpp"
#include "replikon/automation/variant.hpp"
#include "stream/parsed_stream.hpp"

namespace replikon {

namespace {

constexpr std::uint32_t kVersionBits = static_cast<std::uint32_t>(kVersionMask);
constexpr std::uint32_t kKindBits = static_cast<std::uint32_t>(kKindMask);
constexpr std::uint32_t kDimensionBits = static_cast<std::uint32_t>(kDimensionsMask);
constexpr std::uint32_t kElementTypeBits = static_cast<std::uint32_t>(kElementTypeMask);

// A stored value converted to a 32-bit integer by the automation rules;
// nullopt when the conversion fails, with `out_of_memory` set when it failed
// for want of memory. A header word is nearly always stored as a 32-bit
// integer, which is read straight from its payload.
std::optional<std::int32_t> ConvertToWord(const BagReader& bag, const BagReader::Entry& entry,
                                          bool& out_of_memory) noexcept {
  if (entry.type == VarType::I4 && entry.payload.size() == 4) {
    const std::uint8_t* p = entry.payload.data();
    return static_cast<std::int32_t>(
        static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
        (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24));
  }
  try {
    return ToI4(bag.Value(entry));
  } catch (...) {
    out_of_memory = detail::IsOutOfMemory(std::current_exception());
    return std::nullopt;
  }
}

std::optional<std::int32_t> ConvertToWord(const BagReader& bag,
                                          const BagReader::Entry& entry) noexcept {
  bool out_of_memory = false;
  return ConvertToWord(bag, entry, out_of_memory);
}

// A graph stream is an object stream whose objects carry numbers.
std::int16_t KnownKind(std::int16_t kind) noexcept {
  if (kind == kGraphStreamKind) return kObjectStreamKind;
  return kind == kObjectStreamKind || kind == kArrayStreamKind ? kind : std::int16_t{0};
}

// "@OT#" read with the default "" and converted to a string, into `name`;
// false (and `name` empty) when the stored value does not convert, or when
// memory runs out (then `out_of_memory` is set). A class name is nearly always
// stored as a string, which is copied straight from its payload.
bool ReadClassName(const BagReader& bag, std::string& name, bool& out_of_memory) noexcept {
  const BagReader::Entry* entry = bag.Find(kClassNameKey);
  if (entry == nullptr) return true;
  try {
    if (entry->type == VarType::BStr && entry->payload.size() >= 4) {
      // The length that leads the payload is the rest of it.
      const auto text = entry->payload.subspan(4);
      name.assign(reinterpret_cast<const char*>(text.data()), text.size());
      return true;
    }
    name = ToBStr(bag.Value(*entry));
    return true;
  } catch (...) {
    out_of_memory = detail::IsOutOfMemory(std::current_exception());
    name.clear();
    return false;
  }
}

std::optional<BagReader> Parse(std::span<const std::uint8_t> bytes) noexcept {
  return BagReader::TryParse(bytes);
}

}  // namespace

std::optional<std::int32_t> StreamHeaderWord(const BagReader& bag) noexcept {
  const BagReader::Entry* entry = bag.Find(kHeaderKey);
  if (entry == nullptr) return 0;
  return ConvertToWord(bag, *entry);
}

std::optional<std::int32_t> StreamHeaderWord(const BagReader& bag, bool& out_of_memory) noexcept {
  const BagReader::Entry* entry = bag.Find(kHeaderKey);
  if (entry == nullptr) return 0;
  return ConvertToWord(bag, *entry, out_of_memory);
}

std::int32_t PackStreamHeader(const StreamHeaderFields& fields) noexcept {
  const std::uint32_t base = static_cast<std::uint32_t>(fields.base.value_or(0));
  std::uint32_t version = base & kVersionBits;
  std::uint32_t kind = base & kKindBits;
  std::uint32_t reserved = base & static_cast<std::uint32_t>(kReservedFlag);
  std::uint32_t empty = base & static_cast<std::uint32_t>(kEmptyFlag);
  std::uint32_t dimensions = base & kDimensionBits;
  std::uint32_t element_type = base & kElementTypeBits;

  // Each input is taken as a 16-bit integer and brought to its place with
  // unsigned arithmetic, which wraps as the 32-bit word does.
  auto bits = [](std::int16_t value) { return static_cast<std::uint32_t>(value); };
  if (fields.version) version = bits(*fields.version) & kVersionBits;
  if (fields.kind) kind = bits(*fields.kind) & kKindBits;
  if (fields.empty) empty = *fields.empty ? static_cast<std::uint32_t>(kEmptyFlag) : 0u;
  if (fields.reserved) reserved = *fields.reserved ? static_cast<std::uint32_t>(kReservedFlag) : 0u;
  if (fields.dimensions) dimensions = (bits(*fields.dimensions) << 16) & kDimensionBits;
  if (fields.element_type) element_type = (bits(*fields.element_type) << 24) & kElementTypeBits;

  return static_cast<std::int32_t>(version | kind | reserved | empty | dimensions | element_type);
}

StreamInfo InspectStream(const BagReader* bag) noexcept {
  StreamInfo info;
  if (bag == nullptr) return info;
  info.loads_as_bag = true;

  // StreamKind and StreamHoldsNothing read "@SF#" with the default 0;
  // IsObjectStream reads it with no default, so an absent entry fails there.
  const BagReader::Entry* entry = bag->Find(kHeaderKey);
  if (const auto word = entry == nullptr ? std::optional<std::int32_t>(0)
                                         : ConvertToWord(*bag, *entry, info.out_of_memory)) {
    info.header = UnpackStreamHeader(*word);
    info.kind = KnownKind(info.header.kind);
    info.holds_nothing = info.header.empty;
    info.graph = info.header.kind == kGraphStreamKind;
    info.is_object_stream = entry != nullptr && info.kind == kObjectStreamKind;
  }

  if (ReadClassName(*bag, info.class_name, info.out_of_memory) && info.class_name.empty() &&
      info.holds_nothing) {
    info.class_name = "Nothing";  // fits the small-string buffer
  }
  return info;
}

StreamInfo InspectStream(std::span<const std::uint8_t> bytes) noexcept {
  try {
    BagReader bag;
    return InspectStream(bag.Parse(bytes) ? &bag : nullptr);
  } catch (const std::bad_alloc&) {
    StreamInfo info;
    info.out_of_memory = true;
    return info;
  }
}

std::optional<StreamFault> DiagnoseStream(std::span<const std::uint8_t> bytes, bool arrays_too) {
  if (bytes.empty()) return StreamFault{"the byte array is empty", 0};
  if (std::optional<BagReader::Fault> fault = BagReader::FindFault(bytes)) {
    return StreamFault{"not a property bag: " + std::move(fault->reason), fault->offset};
  }
  BagReader bag;
  if (!bag.Parse(bytes)) return StreamFault{"not a property bag", 0};
  const BagReader::Entry* entry = bag.Find(kHeaderKey);
  if (entry == nullptr) return StreamFault{"a property bag without a header word (\"@SF#\")", 0};
  // Where the header word's value lies in the bytes.
  const auto at = static_cast<std::size_t>(entry->payload.data() - bytes.data());
  bool out_of_memory = false;
  const std::optional<std::int32_t> word = ConvertToWord(bag, *entry, out_of_memory);
  if (out_of_memory) throw std::bad_alloc();
  if (!word) {
    return StreamFault{"the header word (\"@SF#\") is a " + TypeName(entry->type) +
                           " that does not convert to a 32-bit integer",
                       at};
  }
  const std::int16_t kind = UnpackStreamHeader(*word).kind;
  const std::int16_t known = KnownKind(kind);
  if (known == kObjectStreamKind || (arrays_too && known == kArrayStreamKind)) return std::nullopt;
  if (known == kArrayStreamKind) return StreamFault{"an array stream, not an object Stream", at};
  return StreamFault{
      "the header word names stream kind " + std::to_string(kind) + ", which is no known kind", at};
}

std::string FaultText(const StreamFault& fault, std::size_t base) {
  if (base == 0 && fault.reason.find(" offset ") != std::string::npos) return fault.reason;
  return fault.reason + " (offset " + std::to_string(base + fault.offset) + ")";
}

bool LoadsAsBag(std::span<const std::uint8_t> bytes) noexcept {
  return Parse(bytes).has_value();
}

std::int16_t StreamKind(std::span<const std::uint8_t> bytes) noexcept {
  const std::optional<BagReader> bag = Parse(bytes);
  if (!bag) return 0;
  const auto word = StreamHeaderWord(*bag);
  return word ? KnownKind(UnpackStreamHeader(*word).kind) : std::int16_t{0};
}

bool IsObjectStream(std::span<const std::uint8_t> bytes) noexcept {
  const std::optional<BagReader> bag = Parse(bytes);
  if (!bag) return false;
  const BagReader::Entry* entry = bag->Find(kHeaderKey);
  if (entry == nullptr) return false;
  const auto word = ConvertToWord(*bag, *entry);
  return word && KnownKind(UnpackStreamHeader(*word).kind) == kObjectStreamKind;
}

std::string StreamClassName(std::span<const std::uint8_t> bytes) noexcept {
  const std::optional<BagReader> bag = Parse(bytes);
  return InspectStream(bag ? &*bag : nullptr).class_name;
}

bool StreamHoldsNothing(std::span<const std::uint8_t> bytes) noexcept {
  const std::optional<BagReader> bag = Parse(bytes);
  if (!bag) return false;
  const auto word = StreamHeaderWord(*bag);
  return word && UnpackStreamHeader(*word).empty;
}

}  // namespace replikon
