// A Stream as a flat list of entries: every entry of every bag, nested ones
// included, in the order of the bytes, each with its nesting depth and its
// path from the root ("Invoice.Lines(1).Carrier.Name").
//
// The walk keeps a few words per open bag and never a parsed bag: its memory
// grows with the depth of the deepest entry, not with the size of the Stream,
// and it needs no C stack per level, so a chain nested a million deep is
// listed whole. `replikon inspect --flat`, `replikon stats` and the encoder's
// round trip rest on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "automation/bag_codec.hpp"
#include "json_writer.hpp"
#include "replikon/automation/property_bag.hpp"
#include "replikon/automation/variant.hpp"

namespace replikon::cli {

// What the bytes of a byte-array entry hold.
enum class Nested {
  None,       // raw bytes (or no bag), shown as a value
  Object,     // an object stream
  Nothing,    // the Stream of a null reference
  Reference,  // a reference to an object written before (graph streams)
  Array,      // an array stream
  Elements,   // the element bag ("@AE#") of an array stream
  Bag,        // a bag that is no Stream of a known kind
};

// The name of `nested` in the JSON forms: "object", "nothing", "reference",
// "array", "elements", "bag"; "" for None.
std::string_view NestedName(Nested nested) noexcept;

// Appends an entry's key to a path: ".Name" for a property, "(1,2)" for the
// element "1.2" of an array.
void AppendPathSegment(std::string& out, std::string_view key, bool element);

// What a parsed nested bag is, from its header word; `class_name` is set for
// objects. `graph`: inside a graph stream, where references occur.
Nested Classify(const BagReader& bag, bool graph, std::string& class_name);

struct FlatEntry {
  std::size_t depth = 0;  // 0 for the entries of the outermost bag
  std::string_view key;
  std::uint16_t type = 0;
  std::span<const std::uint8_t> payload;  // the value as stored
  bool element = false;                   // an entry of an element bag
  // Byte arrays (type 8209).
  bool allocated = false;
  std::int32_t lower = 0;
  std::span<const std::uint8_t> bytes;
  Nested nested = Nested::None;  // set when `bytes` is a bag: its entries follow at depth + 1
  std::string_view class_name;   // kObject
};

class FlatVisitor {
 public:
  virtual ~FlatVisitor() = default;
  // `path` is the entry's path; past kFullPathLevels levels its middle is
  // left out ("Node.Left.Left…Left.Name").
  virtual void Entry(const FlatEntry& entry, std::string_view path) = 0;
};

// Paths deeper than this many levels are shortened in the middle.
inline constexpr std::size_t kFullPathLevels = 64;

struct FlatRoot {
  Nested kind = Nested::Bag;  // Object, Nothing or Array
  bool graph = false;
  std::string class_name;
  std::string path;  // the root's own path: its class name, or "(root)"
};

// Walks `bytes` and calls `visitor` for every entry. False with `error` set,
// nothing visited, when the bytes are no Stream of a known kind (as
// InspectStreamBytes refuses them). Raises std::bad_alloc when memory runs out.
bool WalkFlat(std::span<const std::uint8_t> bytes, FlatVisitor& visitor, FlatRoot& root,
              std::string& error);

// `replikon inspect --json --flat`: {"file", "size", "form": "flat", "stream",
// "class", "entries": [one object per entry]}, written as the walk goes.
bool WriteFlatJson(std::span<const std::uint8_t> bytes, const std::string& name, bool compact,
                   std::ostream& out, std::string& error);

// The value of a scalar entry (any type but 8209) as the JSON forms give it:
// "value" and, where JSON cannot hold it exactly, more fields beside it ("hex"
// for a string that is not UTF-8, "bits" for a NaN, "days" for a date).
void WriteScalarValue(JsonWriter& json, std::uint16_t type, std::span<const std::uint8_t> payload);

// Exact texts of the decimal types: "-12.5" for currency, the scale's digits
// kept for decimals ("1.50"), and their inverses (nullopt for text that is
// not one, or out of range).
std::string CurrencyText(std::int64_t scaled);
std::optional<std::int64_t> ParseCurrency(std::string_view text);
std::string DecimalText(const Decimal& value);
std::optional<Decimal> ParseDecimal(std::string_view text);
// A date as ISO 8601 text ("2024-03-01T09:30:00"); "" for a day number
// outside the years 100 to 9999. ParseIsoDate reads it back to the second.
std::string IsoDateText(double days);
std::optional<double> ParseIsoDate(std::string_view text);

std::string Base64(std::span<const std::uint8_t> bytes);
std::optional<std::vector<std::uint8_t>> FromBase64(std::string_view text);
std::string HexText(std::span<const std::uint8_t> bytes);
std::optional<std::vector<std::uint8_t>> FromHex(std::string_view text);

// `replikon stats`.
struct ClassStats {
  std::uint64_t objects = 0;
  std::uint64_t bytes =
      0;  // the bytes of its objects' streams, less the object streams inside them
};
struct StreamStats {
  std::map<std::string, ClassStats> classes;
  std::uint64_t entries = 0;
  std::uint64_t arrays = 0;
  std::uint64_t references = 0;
  std::size_t deepest = 0;  // the depth of the deepest entry
  std::string deepest_path;
};
bool CollectStats(std::span<const std::uint8_t> bytes, StreamStats& stats, std::string& error);
void WriteStatsText(const StreamStats& stats, std::uint64_t size, std::ostream& out);
void WriteStatsJson(const StreamStats& stats, std::uint64_t size, const std::string& name,
                    bool compact, std::ostream& out);

}  // namespace replikon::cli
