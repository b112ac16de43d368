#include "flat_stream.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <iomanip>
#include <optional>
#include <string>
#include <utility>

#include "automation/bag_codec.hpp"
#include "automation/civil_days.hpp"
#include "replikon/automation/error.hpp"
#include "replikon/automation/property_bag.hpp"
#include "replikon/stream/stream_layout.hpp"
#include "stream/parsed_stream.hpp"

namespace replikon::cli {

namespace {

__extension__ using Uint128 = unsigned __int128;

constexpr std::uint16_t kByteArrayCode = 8209;
constexpr char kHexDigits[] = "0123456789abcdef";
// A shortened path keeps this many levels from the root and from the entry.
constexpr std::size_t kHeadLevels = 16;
constexpr std::size_t kTailLevels = 32;

std::uint32_t U32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
std::uint16_t U16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

// The payload size of a value of `type` whose payload starts at `p`, in a bag
// the parse has checked.
std::size_t PayloadSize(std::uint16_t type, const std::uint8_t* p) {
  switch (type) {
    case 0:
    case 1:
      return 0;
    case 17:
      return 1;
    case 2:
    case 11:
      return 2;
    case 3:
    case 4:
    case 10:
      return 4;
    case 5:
    case 6:
    case 7:
      return 8;
    case 14:
      return 16;
    case 8:
      return 4 + std::size_t{U32(p)};
    default:  // the byte array
      return p[0] == 0 ? 1 : 9 + std::size_t{U32(p + 5)};
  }
}

std::string TypeNameOfCode(std::uint16_t code) {
  return TypeName(static_cast<VarType>(code));
}

std::string NotAStream(std::span<const std::uint8_t> bytes, const BagReader* bag,
                       const std::string& parse_error) {
  if (bag == nullptr) {
    return bytes.empty() ? "not a Stream: the input is empty" : "not a Stream: " + parse_error;
  }
  return bag->Find(kHeaderKey) == nullptr
             ? "not a Stream: a property bag without a header word (\"@SF#\")"
             : "not a Stream: the header word names no known stream kind";
}

}  // namespace

Nested Classify(const BagReader& bag, bool graph, std::string& class_name) {
  if (bag.Find(kHeaderKey) == nullptr) return Nested::Bag;
  const std::optional<std::int32_t> word = StreamHeaderWord(bag);
  if (!word) return Nested::Bag;
  const StreamHeader fields = UnpackStreamHeader(*word);
  if (fields.kind == kObjectStreamKind) {
    const BagReader::Entry* stored = bag.Find(kClassNameKey);
    if (fields.empty && (stored == nullptr || stored->type != VarType::BStr)) {
      return Nested::Nothing;
    }
    class_name = InspectStream(&bag).class_name;
    return Nested::Object;
  }
  if (fields.kind == kArrayStreamKind) return Nested::Array;
  if (fields.kind == kReferenceStreamKind && graph) return Nested::Reference;
  return Nested::Bag;
}

namespace {

struct Level {
  const std::uint8_t* pos;  // the next entry
  std::uint32_t left;       // entries still to come
  Nested kind;
  std::size_t segment;  // where this level's part of the path starts
};

void WriteDouble(JsonWriter& json, double value, std::span<const std::uint8_t> bits) {
  json.Double(value);
  if (std::isnan(value)) json.Field("bits", HexText(bits));
}

}  // namespace

std::string_view NestedName(Nested nested) noexcept {
  switch (nested) {
    case Nested::Object:
      return "object";
    case Nested::Nothing:
      return "nothing";
    case Nested::Reference:
      return "reference";
    case Nested::Array:
      return "array";
    case Nested::Elements:
      return "elements";
    case Nested::Bag:
      return "bag";
    case Nested::None:
      break;
  }
  return "";
}

bool WalkFlat(std::span<const std::uint8_t> bytes, FlatVisitor& visitor, FlatRoot& root,
              std::string& error) {
  std::uint32_t count = 0;
  {
    std::optional<BagReader> bag;
    try {
      bag.emplace(bytes);
    } catch (const AutomationError& e) {
      error = NotAStream(bytes, nullptr, e.Description());
      return false;
    }
    const StreamInfo info = InspectStream(&*bag);
    if (info.kind != kObjectStreamKind && info.kind != kArrayStreamKind) {
      error = NotAStream(bytes, &*bag, {});
      return false;
    }
    const std::optional<std::int32_t> word = StreamHeaderWord(*bag);
    if (word && UnpackStreamHeader(*word).kind == kGraphStreamKind) {
      root.graph = true;
      root.kind = Nested::Object;
      root.class_name = info.class_name;
    } else {
      root.kind = Classify(*bag, false, root.class_name);
    }
    root.path = root.kind == Nested::Object && !root.class_name.empty() ? root.class_name
                                                                        : std::string("(root)");
    count = static_cast<std::uint32_t>(bag->Size());
  }

  std::vector<Level> levels;
  levels.push_back({bytes.data() + BagReader::kHeaderSize, count, root.kind, 0});
  std::string path = root.path;
  std::string entry_path;
  std::string class_name;
  while (!levels.empty()) {
    Level& level = levels.back();
    if (level.left == 0) {
      path.resize(level.segment);
      levels.pop_back();
      continue;
    }
    const std::uint8_t* p = level.pos;
    FlatEntry entry;
    entry.depth = levels.size() - 1;
    const std::uint32_t key_size = U32(p);
    entry.key = {reinterpret_cast<const char*>(p + 4), key_size};
    p += 4 + std::size_t{key_size};
    entry.type = U16(p);
    p += 2;
    entry.payload = {p, PayloadSize(entry.type, p)};
    level.pos = p + entry.payload.size();
    --level.left;
    entry.element = level.kind == Nested::Elements;

    std::optional<std::uint32_t> nested_count;
    if (entry.type == kByteArrayCode && entry.payload[0] == 1) {
      entry.allocated = true;
      entry.lower = static_cast<std::int32_t>(U32(entry.payload.data() + 1));
      entry.bytes = entry.payload.subspan(9);
      if (std::optional<BagReader> nested = BagReader::TryParse(entry.bytes)) {
        nested_count = static_cast<std::uint32_t>(nested->Size());
        class_name.clear();
        entry.nested = level.kind == Nested::Array && entry.key == kElementsKey
                           ? Nested::Elements
                           : Classify(*nested, root.graph, class_name);
        entry.class_name = class_name;
      }
    }

    const std::size_t segment_start = path.size();
    const bool grows = entry.nested != Nested::None && entry.nested != Nested::Elements;
    if (levels.size() < kFullPathLevels) {
      entry_path = path;
      AppendPathSegment(entry_path, entry.key, entry.element);
    } else {
      entry_path.assign(path, 0, levels[kHeadLevels].segment);
      entry_path += "\u2026";
      entry_path.append(path, levels[levels.size() - kTailLevels].segment);
      AppendPathSegment(entry_path, entry.key, entry.element);
    }
    visitor.Entry(entry, entry_path);

    if (nested_count) {
      if (grows) AppendPathSegment(path, entry.key, entry.element);
      levels.push_back({entry.bytes.data() + BagReader::kHeaderSize, *nested_count, entry.nested,
                        segment_start});
    }
  }
  return true;
}

// ---- Values ------------------------------------------------------------------------

void WriteScalarValue(JsonWriter& json, std::uint16_t type, std::span<const std::uint8_t> payload) {
  const Variant v = BagReader::Decode(BagReader::Entry{{}, static_cast<VarType>(type), payload});
  json.Key("value");
  switch (v.Type()) {
    case VarType::I2:
      return json.Int(*v.GetIf<std::int16_t>());
    case VarType::I4:
      return json.Int(*v.GetIf<std::int32_t>());
    case VarType::UI1:
      return json.Int(*v.GetIf<std::uint8_t>());
    case VarType::Error:
      return json.Int(v.GetIf<ErrorCode>()->scode);
    case VarType::R4: {
      const float f = *v.GetIf<float>();
      if (!std::isfinite(f)) return WriteDouble(json, static_cast<double>(f), payload);
      // The float's own shortest form, not that of the double it widens to.
      char text[32];
      const auto r = std::to_chars(text, text + sizeof text, f);
      double shortest = 0;
      std::from_chars(text, r.ptr, shortest);
      return json.Double(shortest);
    }
    case VarType::R8:
      return WriteDouble(json, *v.GetIf<double>(), payload);
    case VarType::Bool:
      return json.Bool(*v.GetIf<bool>());
    case VarType::BStr:
      json.String(v.String());
      if (!IsValidUtf8(v.String())) json.Field("hex", HexText(payload.subspan(4)));
      return;
    case VarType::Date: {
      const double days = v.GetIf<Date>()->days;
      const std::string iso = IsoDateText(days);
      iso.empty() ? json.Null() : json.String(iso);
      json.Key("days");
      return WriteDouble(json, days, payload);
    }
    case VarType::Cy:
      return json.String(CurrencyText(v.GetIf<Currency>()->scaled));
    case VarType::Decimal:
      return json.String(DecimalText(*v.GetIf<Decimal>()));
    default:  // Empty and Null
      return json.Null();
  }
}

std::string CurrencyText(std::int64_t scaled) {
  const bool negative = scaled < 0;
  const std::uint64_t magnitude =
      negative ? 0 - static_cast<std::uint64_t>(scaled) : static_cast<std::uint64_t>(scaled);
  std::string out = negative ? "-" : "";
  out += std::to_string(magnitude / 10000);
  std::uint64_t fraction = magnitude % 10000;
  if (fraction != 0) {
    std::string digits = std::to_string(fraction);
    digits.insert(0, 4 - digits.size(), '0');
    while (digits.back() == '0') digits.pop_back();
    out += '.';
    out += digits;
  }
  return out;
}

namespace {

// "-123.4500" as its sign, digits without the point and the count of digits
// after it; nullopt for anything else.
struct DecimalDigits {
  bool negative = false;
  Uint128 value = 0;
  std::size_t scale = 0;
};

std::optional<DecimalDigits> ReadDecimalDigits(std::string_view text, Uint128 most) {
  DecimalDigits out;
  if (!text.empty() && text.front() == '-') {
    out.negative = true;
    text.remove_prefix(1);
  }
  bool point = false;
  bool any = false;
  for (const char c : text) {
    if (c == '.' && !point && any) {
      point = true;
      continue;
    }
    if (c < '0' || c > '9') return std::nullopt;
    any = true;
    const auto digit = static_cast<unsigned>(c - '0');
    if (out.value > (most - digit) / 10) return std::nullopt;
    out.value = out.value * 10 + digit;
    if (point) ++out.scale;
  }
  if (!any || (point && out.scale == 0)) return std::nullopt;
  return out;
}

}  // namespace

std::optional<std::int64_t> ParseCurrency(std::string_view text) {
  const Uint128 most = (Uint128{1} << 63) * 10000;
  std::optional<DecimalDigits> d = ReadDecimalDigits(text, most);
  if (!d || d->scale > 4) return std::nullopt;
  for (std::size_t i = d->scale; i < 4; ++i) d->value *= 10;
  const Uint128 limit = d->negative ? Uint128{1} << 63 : (Uint128{1} << 63) - 1;
  if (d->value > limit) return std::nullopt;
  const auto magnitude = static_cast<std::uint64_t>(d->value);
  return d->negative ? static_cast<std::int64_t>(0 - magnitude)
                     : static_cast<std::int64_t>(magnitude);
}

std::string DecimalText(const Decimal& value) {
  Uint128 n = (Uint128{value.hi} << 64) | value.lo;
  std::string digits;
  do {
    digits += static_cast<char>('0' + static_cast<int>(n % 10));
    n /= 10;
  } while (n != 0);
  while (digits.size() <= value.scale) digits += '0';
  std::reverse(digits.begin(), digits.end());
  if (value.scale > 0) digits.insert(digits.size() - value.scale, 1, '.');
  return value.negative ? "-" + digits : digits;
}

std::optional<Decimal> ParseDecimal(std::string_view text) {
  const std::optional<DecimalDigits> d = ReadDecimalDigits(text, (Uint128{1} << 96) - 1);
  if (!d || d->scale > 28) return std::nullopt;
  Decimal out;
  out.negative = d->negative;
  out.scale = static_cast<std::uint8_t>(d->scale);
  out.hi = static_cast<std::uint32_t>(d->value >> 64);
  out.lo = static_cast<std::uint64_t>(d->value);
  return out;
}

namespace {

using replikon::detail::Civil;
using replikon::detail::CivilFromDays;
using replikon::detail::DaysFromCivil;

// Day 0 of a date is 1899-12-30, day 25569 is 1970-01-01.
constexpr std::int64_t kUnixEpochDay = 25569;
constexpr double kFirstDay = -657434.0;  // 0100-01-01
constexpr double kLastDay = 2958465.0;   // 9999-12-31

void AppendPadded(std::string& out, std::int64_t value, std::size_t width) {
  std::string digits = std::to_string(value);
  if (digits.size() < width) out.append(width - digits.size(), '0');
  out += digits;
}

}  // namespace

std::string IsoDateText(double days) {
  if (!(days > kFirstDay - 1.0 && days < kLastDay + 1.0)) return {};
  const double whole = std::trunc(days);
  auto serial = static_cast<std::int64_t>(whole);
  std::int64_t seconds = std::llround(std::fabs(days - whole) * 86400.0);
  if (seconds >= 86400) {
    seconds -= 86400;
    ++serial;
  }
  const Civil c = CivilFromDays(serial - kUnixEpochDay);
  std::string out;
  AppendPadded(out, c.year, 4);
  out += '-';
  AppendPadded(out, c.month, 2);
  out += '-';
  AppendPadded(out, c.day, 2);
  out += 'T';
  AppendPadded(out, seconds / 3600, 2);
  out += ':';
  AppendPadded(out, seconds / 60 % 60, 2);
  out += ':';
  AppendPadded(out, seconds % 60, 2);
  return out;
}

std::optional<double> ParseIsoDate(std::string_view text) {
  const auto number = [&](std::size_t at, std::size_t width) -> std::optional<unsigned> {
    unsigned value = 0;
    if (at + width > text.size()) return std::nullopt;
    const auto r = std::from_chars(text.data() + at, text.data() + at + width, value);
    if (r.ec != std::errc() || r.ptr != text.data() + at + width) return std::nullopt;
    return value;
  };
  if (text.size() != 10 && text.size() != 19) return std::nullopt;
  const auto year = number(0, 4);
  const auto month = number(5, 2);
  const auto day = number(8, 2);
  if (!year || !month || !day || text[4] != '-' || text[7] != '-') return std::nullopt;
  if (*month < 1 || *month > 12 || *day < 1 || *day > 31) return std::nullopt;
  const std::int64_t serial = DaysFromCivil(*year, *month, *day) + kUnixEpochDay;
  if (CivilFromDays(serial - kUnixEpochDay).day != *day) return std::nullopt;
  double fraction = 0;
  if (text.size() == 19) {
    const auto h = number(11, 2);
    const auto m = number(14, 2);
    const auto s = number(17, 2);
    if (text[10] != 'T' || text[13] != ':' || text[16] != ':' || !h || !m || !s || *h > 23 ||
        *m > 59 || *s > 59) {
      return std::nullopt;
    }
    fraction = static_cast<double>(*h * 3600 + *m * 60 + *s) / 86400.0;
  }
  const auto whole = static_cast<double>(serial);
  if (whole < kFirstDay || whole > kLastDay) return std::nullopt;
  return serial < 0 ? whole - fraction : whole + fraction;
}

std::string Base64(std::span<const std::uint8_t> bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t n = bytes[i] << 16 | bytes[i + 1] << 8 | bytes[i + 2];
    for (int shift = 18; shift >= 0; shift -= 6) out += kAlphabet[(n >> shift) & 63];
  }
  if (const std::size_t rest = bytes.size() - i; rest > 0) {
    const std::uint32_t n = bytes[i] << 16 | (rest == 2 ? bytes[i + 1] << 8 : 0);
    out += kAlphabet[(n >> 18) & 63];
    out += kAlphabet[(n >> 12) & 63];
    out += rest == 2 ? kAlphabet[(n >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::optional<std::vector<std::uint8_t>> FromBase64(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  const auto digit = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  std::vector<std::uint8_t> out;
  out.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    const std::size_t pad = last ? (text[i + 3] == '=') + (text[i + 2] == '=') : 0;
    if (pad == 1 && text[i + 2] == '=') return std::nullopt;
    std::uint32_t n = 0;
    for (std::size_t j = 0; j < 4; ++j) {
      const int d = j >= 4 - pad ? 0 : digit(text[i + j]);
      if (d < 0) return std::nullopt;
      n = n << 6 | static_cast<std::uint32_t>(d);
    }
    out.push_back(static_cast<std::uint8_t>(n >> 16));
    if (pad < 2) out.push_back(static_cast<std::uint8_t>(n >> 8));
    if (pad < 1) out.push_back(static_cast<std::uint8_t>(n));
  }
  return out;
}

std::string HexText(std::span<const std::uint8_t> bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const std::uint8_t b : bytes) {
    out += kHexDigits[b >> 4];
    out += kHexDigits[b & 0xF];
  }
  return out;
}

std::optional<std::vector<std::uint8_t>> FromHex(std::string_view text) {
  if (text.size() % 2 != 0) return std::nullopt;
  const auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::vector<std::uint8_t> out;
  out.reserve(text.size() / 2);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int hi = digit(text[i]);
    const int lo = digit(text[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out.push_back(static_cast<std::uint8_t>(hi << 4 | lo));
  }
  return out;
}

// ---- inspect --flat ----------------------------------------------------------------

namespace {

class FlatJsonVisitor : public FlatVisitor {
 public:
  explicit FlatJsonVisitor(JsonWriter& json) : json_(json) {}

  void Entry(const FlatEntry& e, std::string_view path) override {
    json_.BeginObject();
    json_.Field("depth", static_cast<std::uint64_t>(e.depth));
    json_.Field("path", path);
    json_.Field("key", e.key);
    if (!IsValidUtf8(e.key)) {
      json_.Field("key_hex",
                  HexText({reinterpret_cast<const std::uint8_t*>(e.key.data()), e.key.size()}));
    }
    json_.Field("type", static_cast<std::int64_t>(e.type));
    json_.Field("type_name", TypeNameOfCode(e.type));
    if (e.type != kByteArrayCode) {
      WriteScalarValue(json_, e.type, e.payload);
    } else if (!e.allocated) {
      json_.Key("value");
      json_.Null();
    } else {
      if (e.lower != 0) json_.Field("lower", static_cast<std::int64_t>(e.lower));
      if (e.nested == Nested::None) {
        json_.Field("value", Base64(e.bytes));
      } else {
        json_.Field("stream", NestedName(e.nested));
        if (e.nested == Nested::Object) json_.Field("class", e.class_name);
        json_.Field("bytes", static_cast<std::uint64_t>(e.bytes.size()));
      }
    }
    json_.EndObject();
  }

 private:
  JsonWriter& json_;
};

}  // namespace

bool WriteFlatJson(std::span<const std::uint8_t> bytes, const std::string& name, bool compact,
                   std::ostream& out, std::string& error) {
  // The root is known only once the walk has looked at it; the document's head
  // is written by the first entry (or at the end, for a bag without entries).
  class Writer : public FlatVisitor {
   public:
    Writer(std::ostream& out, bool compact, const std::string& name, std::size_t size,
           const FlatRoot& root)
        : json_(out, compact ? 0 : 2), entries_(json_), name_(name), size_(size), root_(root) {
      json_.OnOneLineBelow(2);  // an entry per line
    }
    void Entry(const FlatEntry& e, std::string_view path) override {
      Head();
      entries_.Entry(e, path);
    }
    void Finish() {
      Head();
      json_.EndArray();
      json_.EndObject();
      json_.Finish();
    }

   private:
    void Head() {
      if (started_) return;
      started_ = true;
      json_.BeginObject();
      json_.Field("file", name_);
      json_.Field("size", static_cast<std::uint64_t>(size_));
      json_.Field("form", "flat");
      json_.Field("stream", NestedName(root_.kind));
      if (root_.kind == Nested::Object) json_.Field("class", root_.class_name);
      if (root_.graph) json_.Field("graph", true);
      json_.Key("entries");
      json_.BeginArray();
    }

    JsonWriter json_;
    FlatJsonVisitor entries_;
    const std::string& name_;
    std::size_t size_;
    const FlatRoot& root_;
    bool started_ = false;
  };

  FlatRoot root;
  Writer writer(out, compact, name, bytes.size(), root);
  if (!WalkFlat(bytes, writer, root, error)) return false;
  writer.Finish();
  return true;
}

// ---- stats ----------------------------------------------------------------------

namespace {

class StatsVisitor : public FlatVisitor {
 public:
  explicit StatsVisitor(StreamStats& stats) : stats_(stats) {}

  void Root(const FlatRoot& root, std::size_t size) {
    const char* name = root.kind == Nested::Array     ? "(array)"
                       : root.kind == Nested::Nothing ? "Nothing"
                                                      : nullptr;
    ClassStats& owner = stats_.classes[name != nullptr ? std::string(name) : root.class_name];
    if (root.kind == Nested::Array) {
      ++stats_.arrays;
    } else {
      ++owner.objects;
    }
    owner.bytes += size;
    owners_.assign(1, &owner);
    stats_.deepest_path = root.path;
  }

  void Entry(const FlatEntry& e, std::string_view path) override {
    ++stats_.entries;
    if (e.depth > stats_.deepest || stats_.entries == 1) {
      stats_.deepest = e.depth;
      stats_.deepest_path = path;
    }
    if (e.nested == Nested::None) return;
    owners_.resize(e.depth + 1);
    ClassStats* owner = owners_.back();
    std::string name;
    switch (e.nested) {
      case Nested::Object:
        name = e.class_name;
        break;
      case Nested::Nothing:
        name = "Nothing";
        break;
      case Nested::Reference:
        name = "(reference)";
        ++stats_.references;
        break;
      case Nested::Array:
        ++stats_.arrays;
        [[fallthrough]];
      default:
        owners_.push_back(owner);
        return;
    }
    ClassStats& own = stats_.classes[name];
    ++own.objects;
    own.bytes += e.bytes.size();
    owner->bytes -= e.bytes.size();
    owners_.push_back(&own);
  }

 private:
  StreamStats& stats_;
  std::vector<ClassStats*> owners_;  // by depth: the class whose bytes a bag's are
};

}  // namespace

bool CollectStats(std::span<const std::uint8_t> bytes, StreamStats& stats, std::string& error) {
  class Visitor : public FlatVisitor {
   public:
    Visitor(StreamStats& stats, const FlatRoot& root, std::size_t size)
        : inner_(stats), root_(root), size_(size) {}
    void Entry(const FlatEntry& e, std::string_view path) override {
      Start();
      inner_.Entry(e, path);
    }
    void Start() {
      if (started_) return;
      started_ = true;
      inner_.Root(root_, size_);
    }

   private:
    StatsVisitor inner_;
    const FlatRoot& root_;
    std::size_t size_;
    bool started_ = false;
  };
  FlatRoot root;
  Visitor visitor(stats, root, bytes.size());
  if (!WalkFlat(bytes, visitor, root, error)) return false;
  visitor.Start();
  return true;
}

void WriteStatsText(const StreamStats& stats, std::uint64_t size, std::ostream& out) {
  out << size << " bytes, " << stats.entries << " entries, " << stats.arrays << " arrays, "
      << stats.references << " references\n";
  out << "deepest entry: depth " << stats.deepest << ": " << stats.deepest_path << '\n';
  std::size_t width = 5;
  for (const auto& [name, c] : stats.classes) width = std::max(width, name.size());
  out << std::left << std::setw(static_cast<int>(width)) << "class" << std::right << "  "
      << std::setw(10) << "objects"
      << "  " << std::setw(12) << "bytes" << '\n';
  for (const auto& [name, c] : stats.classes) {
    out << std::left << std::setw(static_cast<int>(width)) << name << std::right << "  "
        << std::setw(10) << c.objects << "  " << std::setw(12) << c.bytes << '\n';
  }
}

void WriteStatsJson(const StreamStats& stats, std::uint64_t size, const std::string& name,
                    bool compact, std::ostream& out) {
  JsonWriter json(out, compact ? 0 : 2);
  json.BeginObject();
  json.Field("file", name);
  json.Field("size", size);
  json.Field("entries", stats.entries);
  json.Field("arrays", stats.arrays);
  json.Field("references", stats.references);
  json.Key("deepest");
  json.BeginObject();
  json.Field("depth", static_cast<std::uint64_t>(stats.deepest));
  json.Field("path", stats.deepest_path);
  json.EndObject();
  json.Key("classes");
  json.BeginArray();
  for (const auto& [class_name, c] : stats.classes) {
    json.BeginObject();
    json.Field("class", class_name);
    json.Field("objects", c.objects);
    json.Field("bytes", c.bytes);
    json.EndObject();
  }
  json.EndArray();
  json.EndObject();
  json.Finish();
}

void AppendPathSegment(std::string& out, std::string_view key, bool element) {
  if (!element) {
    out += '.';
    out += key;
    return;
  }
  out += '(';
  for (const char c : key) out += c == '.' ? ',' : c;
  out += ')';
}

}  // namespace replikon::cli
