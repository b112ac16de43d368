#include "stream_encoder.hpp"

#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "automation/bag_codec.hpp"
#include "flat_stream.hpp"
#include "replikon/automation/error.hpp"
#include "replikon/automation/property_bag.hpp"
#include "replikon/automation/safe_array.hpp"
#include "replikon/stream/stream_layout.hpp"
#include "stream_inspector.hpp"

namespace replikon::cli {

namespace {

using json = nlohmann::json;

constexpr std::uint16_t kByteArrayCode = 8209;

class EncodeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

[[noreturn]] void Fail(const std::string& what) {
  throw EncodeError(what);
}

const json& Field(const json& e, const char* name) {
  const auto it = e.find(name);
  if (it == e.end()) Fail(std::string("no \"") + name + "\"");
  return *it;
}

std::int64_t Integer(const json& v, const char* name, std::int64_t lowest, std::int64_t highest) {
  if (!v.is_number_integer()) Fail(std::string("\"") + name + "\" is no integer");
  if (v.is_number_unsigned() && v.get<std::uint64_t>() > static_cast<std::uint64_t>(highest)) {
    Fail(std::string("\"") + name + "\" is out of range");
  }
  const auto n = v.get<std::int64_t>();
  if (n < lowest || n > highest) Fail(std::string("\"") + name + "\" is out of range");
  return n;
}

std::string Key(const json& e) {
  if (const auto hex = e.find("key_hex"); hex != e.end()) {
    if (!hex->is_string()) Fail("\"key_hex\" is no string");
    const auto bytes = FromHex(hex->get_ref<const std::string&>());
    if (!bytes) Fail("\"key_hex\" is no hex text");
    return {bytes->begin(), bytes->end()};
  }
  const json& key = Field(e, "key");
  if (!key.is_string()) Fail("\"key\" is no string");
  return key.get<std::string>();
}

std::uint16_t TypeCode(const json& e) {
  return static_cast<std::uint16_t>(Integer(Field(e, "type"), "type", 0, 0xFFFF));
}

// The stored bytes that "bits" gives, of the size the type takes.
std::optional<Variant> FromBits(const json& e, VarType type, std::size_t size) {
  const auto bits = e.find("bits");
  if (bits == e.end()) return std::nullopt;
  std::optional<std::vector<std::uint8_t>> bytes;
  if (bits->is_string()) bytes = FromHex(bits->get_ref<const std::string&>());
  if (!bytes || bytes->size() != size)
    Fail("\"bits\" is not " + std::to_string(size) + " bytes in hex");
  return BagReader::Decode(BagReader::Entry{{}, type, *bytes});
}

double Real(const json& v, const char* name) {
  if (v.is_number()) return v.get<double>();
  if (v.is_string()) {
    const std::string& s = v.get_ref<const std::string&>();
    if (s == "Infinity") return std::numeric_limits<double>::infinity();
    if (s == "-Infinity") return -std::numeric_limits<double>::infinity();
    if (s == "NaN") return std::numeric_limits<double>::quiet_NaN();
  }
  Fail(std::string("\"") + name + "\" is no number");
}

const std::string& Text(const json& v, const char* name) {
  if (!v.is_string()) Fail(std::string("\"") + name + "\" is no string");
  return v.get_ref<const std::string&>();
}

// A scalar entry's value, as WriteScalarValue writes it.
Variant Scalar(std::uint16_t type, const json& e) {
  switch (type) {
    case 0:
      return Variant();
    case 1:
      return Variant(kNull);
    case 2:
      return Variant(static_cast<std::int16_t>(Integer(Field(e, "value"), "value", -32768, 32767)));
    case 3:
      return Variant(static_cast<std::int32_t>(Integer(Field(e, "value"), "value",
                                                       std::numeric_limits<std::int32_t>::min(),
                                                       std::numeric_limits<std::int32_t>::max())));
    case 10:
      return Variant(ErrorCode{static_cast<std::int32_t>(
          Integer(Field(e, "value"), "value", std::numeric_limits<std::int32_t>::min(),
                  std::numeric_limits<std::int32_t>::max()))});
    case 17:
      return Variant(static_cast<std::uint8_t>(Integer(Field(e, "value"), "value", 0, 255)));
    case 4: {
      if (auto bits = FromBits(e, VarType::R4, 4)) return *bits;
      const double d = Real(Field(e, "value"), "value");
      if (std::isfinite(d) && std::fabs(d) > std::numeric_limits<float>::max()) {
        Fail("\"value\" is out of the range of a single");
      }
      return Variant(static_cast<float>(d));
    }
    case 5:
      if (auto bits = FromBits(e, VarType::R8, 8)) return *bits;
      return Variant(Real(Field(e, "value"), "value"));
    case 6: {
      const json& v = Field(e, "value");
      if (v.is_number_integer()) {
        return Variant(Currency{Integer(v, "value", -922337203685477, 922337203685477) * 10000});
      }
      const auto scaled = ParseCurrency(Text(v, "value"));
      if (!scaled) Fail("\"value\" is no currency amount (up to 4 decimals)");
      return Variant(Currency{*scaled});
    }
    case 7: {
      if (auto bits = FromBits(e, VarType::Date, 8)) return *bits;
      if (const auto days = e.find("days"); days != e.end())
        return Variant(Date{Real(*days, "days")});
      const auto days = ParseIsoDate(Text(Field(e, "value"), "value"));
      if (!days) Fail("\"value\" is no date (YYYY-MM-DD or YYYY-MM-DDThh:mm:ss)");
      return Variant(Date{*days});
    }
    case 8: {
      if (const auto hex = e.find("hex"); hex != e.end()) {
        const auto bytes = FromHex(Text(*hex, "hex"));
        if (!bytes) Fail("\"hex\" is no hex text");
        return Variant(std::string(bytes->begin(), bytes->end()));
      }
      return Variant(Text(Field(e, "value"), "value"));
    }
    case 11: {
      const json& v = Field(e, "value");
      if (!v.is_boolean()) Fail("\"value\" is not true or false");
      return Variant(v.get<bool>());
    }
    case 14: {
      const json& v = Field(e, "value");
      const auto d = ParseDecimal(v.is_number_integer() ? v.dump() : Text(v, "value"));
      if (!d) Fail("\"value\" is no decimal (at most 28 decimals and 29 digits)");
      return Variant(*d);
    }
    default:
      Fail("type " + std::to_string(type) + " cannot be stored in a Stream");
  }
}

// Ends a nested bag begun with BeginBytes at `pending`, written from `start`.
void CloseNested(std::vector<std::uint8_t>& out, BagWriter& parent, BagWriter& child,
                 BagWriter::Pending pending, std::size_t start, std::int32_t lower) {
  child.Finish();
  if (!BagReader::TryParse(std::span(out).subspan(start))) {
    Fail("a nested bag holds a key twice");
  }
  parent.EndBytes(pending);
  const auto bits = static_cast<std::uint32_t>(lower);
  for (int i = 0; i < 4; ++i) {
    out[pending.length_offset - 4 + static_cast<std::size_t>(i)] =
        static_cast<std::uint8_t>(bits >> (8 * i));
  }
}

void WriteBytes(BagWriter& writer, const std::string& key, std::vector<std::uint8_t> bytes,
                std::int32_t lower) {
  writer.Write(key, Variant(SafeArray::FromOwnedBytes(std::move(bytes), lower)));
}

std::int32_t Lower(const json& e) {
  const auto it = e.find("lower");
  if (it == e.end()) return 0;
  return static_cast<std::int32_t>(Integer(*it, "lower", std::numeric_limits<std::int32_t>::min(),
                                           std::numeric_limits<std::int32_t>::max()));
}

// ---- The flat form ------------------------------------------------------------------

class FlatEncoder {
 public:
  explicit FlatEncoder(std::vector<std::uint8_t>& out) : out_(out) {
    frames_.push_back({BagWriter(out_), {}, 0, 0});
  }

  void Entry(const json& e) {
    ++count_;
    try {
      Write(e);
    } catch (const EncodeError& error) {
      Fail(Where(e) + error.what());
    } catch (const json::exception& error) {
      Fail(Where(e) + error.what());
    }
  }

  void Finish() {
    while (frames_.size() > 1) Close();
    frames_.front().writer.Finish();
  }

 private:
  struct Frame {
    BagWriter writer;
    BagWriter::Pending pending;
    std::size_t start;
    std::int32_t lower;
  };

  std::string Where(const json& e) const {
    std::string where = "entry " + std::to_string(count_);
    if (const auto path = e.find("path"); path != e.end() && path->is_string()) {
      where += " (" + path->get<std::string>() + ")";
    }
    return where + ": ";
  }

  void Write(const json& e) {
    if (!e.is_object()) Fail("no JSON object");
    const auto depth = static_cast<std::size_t>(
        Integer(Field(e, "depth"), "depth", 0, std::numeric_limits<std::int64_t>::max()));
    if (depth >= frames_.size()) {
      Fail("depth " + std::to_string(depth) +
           " follows no entry that opens a nested bag at depth " + std::to_string(depth - 1));
    }
    while (frames_.size() > depth + 1) Close();
    BagWriter& writer = frames_.back().writer;
    const std::string key = Key(e);
    const std::uint16_t type = TypeCode(e);
    if (type != kByteArrayCode) {
      writer.Write(key, Scalar(type, e));
      return;
    }
    const std::int32_t lower = Lower(e);
    if (e.contains("stream")) {
      const BagWriter::Pending pending = writer.BeginBytes(key);
      const std::size_t start = out_.size();
      frames_.push_back({BagWriter(out_), pending, start, lower});
      return;
    }
    const json& value = Field(e, "value");
    if (value.is_null()) {
      writer.Write(key, Variant(SafeArray::UnallocatedBytes()));
      return;
    }
    auto bytes = FromBase64(Text(value, "value"));
    if (!bytes) Fail("\"value\" is no base64 text");
    WriteBytes(writer, key, std::move(*bytes), lower);
  }

  void Close() {
    Frame child = std::move(frames_.back());
    frames_.pop_back();
    CloseNested(out_, frames_.back().writer, child.writer, child.pending, child.start, child.lower);
  }

  std::vector<std::uint8_t>& out_;
  std::vector<Frame> frames_;
  std::uint64_t count_ = 0;
};

// ---- The nested form --------------------------------------------------------------

class NestedEncoder {
 public:
  explicit NestedEncoder(std::vector<std::uint8_t>& out) : out_(out) {}

  // Writes the bag that `stream` (a "stream" object of the nested form) shows.
  void Stream(const json& stream, const std::string& path) {
    BagWriter writer(out_);
    WriteEntries(writer, stream, path, 0);
    writer.Finish();
  }

 private:
  // The nested form goes no deeper than `inspect --max-depth` shows; deeper
  // documents would only cost stack.
  void WriteEntries(BagWriter& writer, const json& stream, const std::string& path,
                    std::size_t depth) {
    if (!stream.is_object()) Fail(path + ": no JSON object");
    if (depth > kMaxInspectDepth) {
      Fail(path + ": nested deeper than " + std::to_string(kMaxInspectDepth) +
           " Streams; use the flat form");
    }
    const json& layout = Field(stream, "layout");
    const bool array = stream.value("form", "") == "array stream";
    const auto listed = stream.find(array ? "other_entries" : "entries");
    const std::size_t others = listed != stream.end() && listed->is_array() ? listed->size() : 0;
    if (!layout.is_array()) Fail(path + ": \"layout\" is no array");
    std::vector<const json*> slots(layout.size() + others, nullptr);
    std::vector<bool> from_layout(slots.size(), false);
    for (const json& e : layout) {
      const auto at = static_cast<std::size_t>(
          Integer(Field(e, "at"), "at", 0, static_cast<std::int64_t>(slots.size()) - 1));
      if (slots[at] != nullptr) Fail(path + ": two layout entries at " + std::to_string(at));
      slots[at] = &e;
      from_layout[at] = true;
    }
    std::size_t next = 0;
    for (const json*& slot : slots) {
      if (slot == nullptr) slot = &(*listed)[next++];
    }
    for (std::size_t i = 0; i < slots.size(); ++i) {
      const json* e = slots[i];
      try {
        Entry(writer, stream, *e, path, depth, from_layout[i]);
      } catch (const json::exception& error) {
        Fail(path + ": " + error.what());
      }
    }
  }

  // `layout`: one of the stream's "layout" entries, the only ones that may
  // stand for the element bag.
  void Entry(BagWriter& writer, const json& stream, const json& e, const std::string& path,
             std::size_t depth, bool layout) {
    const std::string key = Key(e);
    const std::uint16_t type = TypeCode(e);
    const std::string where = path + "." + key;
    if (type != kByteArrayCode) {
      try {
        writer.Write(key, Scalar(type, e));
      } catch (const EncodeError& error) {
        Fail(where + ": " + error.what());
      }
      return;
    }
    const std::int32_t lower = Lower(e);
    if (layout && e.value("elements", false)) {  // an array's element bag, listed as its "elements"
      const BagWriter::Pending pending = writer.BeginBytes(key);
      const std::size_t start = out_.size();
      BagWriter elements(out_);
      const json& list = Field(stream, "elements");
      if (!list.is_array()) Fail(where + ": \"elements\" is no array");
      for (const json& element : list) {
        Entry(elements, stream, element, path + "()", depth, false);
      }
      CloseNested(out_, writer, elements, pending, start, lower);
      return;
    }
    if (!e.value("allocated", true)) {
      writer.Write(key, Variant(SafeArray::UnallocatedBytes()));
      return;
    }
    if (const auto nested = e.find("stream"); nested != e.end()) {
      const BagWriter::Pending pending = writer.BeginBytes(key);
      const std::size_t start = out_.size();
      BagWriter child(out_);
      WriteEntries(child, *nested, where, depth + 1);
      CloseNested(out_, writer, child, pending, start, lower);
      return;
    }
    if (e.contains("not_shown")) {
      Fail(where +
           ": not shown (deeper than --max-depth); inspect with a larger --max-depth, or "
           "use --flat");
    }
    auto bytes = FromHex(Text(Field(e, "hex"), "hex"));
    if (!bytes) Fail(where + ": \"hex\" is no hex text");
    WriteBytes(writer, key, std::move(*bytes), lower);
  }

  std::vector<std::uint8_t>& out_;
};

std::string ParseErrorText(const json::parse_error& e) {
  std::string text = e.what();
  const std::string_view marker = "parse error at ";
  if (const auto at = text.find(marker); at != std::string::npos) {
    text.erase(0, at + marker.size());
  }
  return "invalid JSON at " + text;
}

}  // namespace

bool EncodeStreamJson(std::istream& in, std::vector<std::uint8_t>& out, std::string& error) {
  out.clear();
  try {
    FlatEncoder flat(out);
    bool flat_form = false;
    std::string top_key;
    // Entries of the flat form are written and dropped as they are read: the
    // document kept in memory holds everything else.
    const json doc = json::parse(in, [&](int depth, json::parse_event_t event, json& parsed) {
      if (depth == 1 && event == json::parse_event_t::key) {
        top_key = parsed.is_string() ? parsed.get<std::string>() : std::string();
      } else if (depth == 2 && event == json::parse_event_t::object_end && top_key == "entries") {
        flat_form = true;
        flat.Entry(parsed);
        return false;
      }
      return true;
    });
    if (!doc.is_object()) Fail("the document is no JSON object");
    if (flat_form || doc.value("form", "") == "flat") {
      flat.Finish();
    } else if (const auto stream = doc.find("stream"); stream != doc.end() && stream->is_object()) {
      out.clear();
      NestedEncoder(out).Stream(*stream, stream->value("class", std::string("(root)")));
    } else {
      Fail("neither form of `replikon inspect --json`: no \"entries\" and no \"stream\" object");
    }
    if (!BagReader::TryParse(out)) Fail("the entries of the outermost bag repeat a key");
    // Whatever inspect shows is a Stream; a JSON that makes none, an entry
    // list without its header for one, is refused rather than written.
    if (const std::optional<StreamFault> fault = DiagnoseStream(out, true)) {
      Fail("the entries make no Stream: " + FaultText(*fault));
    }
    return true;
  } catch (const json::parse_error& e) {
    error = ParseErrorText(e);
  } catch (const json::exception& e) {
    error = e.what();
  } catch (const EncodeError& e) {
    error = e.what();
  } catch (const AutomationError& e) {
    error = "error " + std::to_string(e.Number()) + ": " + e.Description();
  } catch (const std::bad_alloc&) {
    error = "error " + std::to_string(errors::kOutOfMemory) + ": " +
            errors::StandardDescription(errors::kOutOfMemory);
  }
  out.clear();
  return false;
}

}  // namespace replikon::cli
