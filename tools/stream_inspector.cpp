#include "stream_inspector.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <optional>
#include <unordered_map>
#include <vector>

#include "automation/bag_codec.hpp"
#include "flat_stream.hpp"
#include "json_writer.hpp"
#include "replikon/automation/error.hpp"
#include "replikon/automation/property_bag.hpp"
#include "replikon/automation/variant.hpp"
#include "replikon/stream/array_encoding.hpp"
#include "replikon/stream/stream_layout.hpp"
#include "stream/parsed_stream.hpp"

namespace replikon::cli {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";
// A byte array that is no bag is shown in hex on a terminal up to this many bytes.
constexpr std::size_t kTerminalHexBytes = 32;

std::string Hex(std::span<const std::uint8_t> bytes, std::size_t limit, const char* separator) {
  std::string out;
  const std::size_t n = std::min(bytes.size(), limit);
  out.reserve(n * 3);
  for (std::size_t i = 0; i < n; ++i) {
    if (i > 0) out += separator;
    out += kHexDigits[bytes[i] >> 4];
    out += kHexDigits[bytes[i] & 0xF];
  }
  return out;
}

std::string Hex(std::string_view text) {
  return Hex({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()},
             std::numeric_limits<std::size_t>::max(), "");
}

std::string HexWord(std::int32_t word) {
  std::string out = "0x";
  const auto bits = static_cast<std::uint32_t>(word);
  for (int shift = 28; shift >= 0; shift -= 4) out += kHexDigits[(bits >> shift) & 0xF];
  return out;
}

// The element type code as stored (the header's top byte, 0..255).
int ElementTypeCode(std::int32_t word) {
  return static_cast<int>((static_cast<std::uint32_t>(word) >> 24) & 0xFF);
}

bool IsRebuiltElementType(int code) {
  switch (code) {
    case 2:
    case 3:
    case 4:
    case 5:
    case 6:
    case 7:
    case 8:
    case 11:
    case 12:
    case 14:
    case 17:
      return true;
    default:
      return false;
  }
}

std::string TypeNameOfCode(int code) {
  if (code <= 0 || code > 0xFFFF) return "Unknown";
  return TypeName(static_cast<VarType>(code));
}

std::uint64_t SaturatingProduct(std::uint64_t a, std::uint64_t b) {
  if (a != 0 && b > std::numeric_limits<std::uint64_t>::max() / a) {
    return std::numeric_limits<std::uint64_t>::max();
  }
  return a * b;
}

// ---- What the walker tells its sink ------------------------------------------

enum class Form { Object, Array, Bag, Reference };

struct Dimension {
  std::optional<std::int32_t> lower;
  std::optional<std::int32_t> upper;
};

struct StreamHead {
  std::size_t size = 0;
  std::size_t entries = 0;
  Form form = Form::Bag;
  bool has_header = false;
  std::optional<std::int32_t> word;  // set when "@SF#" is present and converts
  StreamHeader fields;
  std::string class_name;  // object streams: as ObjectTypeName reports it
  bool class_stored = false;
  std::vector<Dimension> bounds;  // array streams
  std::optional<std::uint64_t> element_count;
  std::optional<std::size_t> element_entries;
  std::vector<std::string> notes;
  // The entries of the layout ("@SF#", "@OT#", bounds, "@AE#"...) with their
  // places in the bag, so that the JSON form can be read back byte for byte.
  // `elements`: the "@AE#" whose bag is listed as the elements.
  struct Layout {
    std::size_t at;
    const BagReader::Entry* entry;
    bool elements;
  };
  std::vector<Layout> layout;
  // Graph streams: the outermost object's stream, an object's number, and a
  // reference's number with the path of the object it points to.
  bool graph = false;
  std::optional<std::int32_t> object_id;
  std::optional<std::int32_t> reference_id;
  std::optional<std::string> reference_path;
};

enum class ListKind { Entries, Elements, OtherEntries };

enum class ByteContent { Nested, Raw, Unallocated, TooDeep };

struct ByteEntry {
  std::string_view key;
  bool element = false;
  ByteContent content = ByteContent::Raw;
  std::int32_t lower = 0;
  std::span<const std::uint8_t> bytes;
};

class Sink {
 public:
  virtual ~Sink() = default;
  virtual void BeginStream(const StreamHead& head) = 0;
  virtual void EndStream() = 0;
  virtual void BeginList(ListKind kind) = 0;
  virtual void EndList() = 0;
  virtual void Scalar(const BagReader::Entry& entry, bool element, const Variant& value) = 0;
  virtual void BeginBytes(const ByteEntry& entry) = 0;
  virtual void EndBytes() = 0;
};

// ---- The walk ----------------------------------------------------------------

// The byte array in a byte-array entry's payload (the layout is checked by the
// bag's parse; the lengths are checked again here all the same).
struct BytePayload {
  bool allocated = false;
  std::int32_t lower = 0;
  std::span<const std::uint8_t> bytes;
};

std::optional<BytePayload> ReadBytePayload(std::span<const std::uint8_t> payload) {
  if (payload.empty()) return std::nullopt;
  if (payload[0] == 0) return BytePayload{};
  if (payload[0] != 1 || payload.size() < 9) return std::nullopt;
  auto u32 = [&](std::size_t at) {
    return static_cast<std::uint32_t>(payload[at]) |
           static_cast<std::uint32_t>(payload[at + 1]) << 8 |
           static_cast<std::uint32_t>(payload[at + 2]) << 16 |
           static_cast<std::uint32_t>(payload[at + 3]) << 24;
  };
  BytePayload out;
  out.allocated = true;
  out.lower = static_cast<std::int32_t>(u32(1));
  const std::uint32_t count = u32(5);
  if (payload.size() - 9 < count) return std::nullopt;
  out.bytes = payload.subspan(9, count);
  return out;
}

// A graph stream's numbers are 32-bit integers as written, nothing else.
std::optional<std::int32_t> ReadNumber(const BagReader& bag, std::string_view key) {
  const BagReader::Entry* entry = bag.Find(key);
  if (entry == nullptr || entry->type != VarType::I4) return std::nullopt;
  try {
    return ToI4(BagReader::Decode(*entry));
  } catch (...) {
    return std::nullopt;
  }
}

std::optional<std::int32_t> ReadI4(const BagReader& bag, std::string_view key) {
  const BagReader::Entry* entry = bag.Find(key);
  if (entry == nullptr) return std::nullopt;
  try {
    return ToI4(BagReader::Decode(*entry));
  } catch (...) {
    return std::nullopt;
  }
}

class Walker {
 public:
  Walker(Sink& sink, std::size_t max_depth) : sink_(sink), max_depth_(max_depth) {}

  // `bag` is `bytes` parsed.
  void Stream(std::span<const std::uint8_t> bytes, const BagReader& bag, std::size_t depth) {
    StreamHead head;
    head.size = bytes.size();
    head.entries = bag.Size();
    const StreamInfo info = InspectStream(&bag);
    head.has_header = bag.Find(kHeaderKey) != nullptr;
    if (head.has_header) head.word = StreamHeaderWord(bag);
    if (head.word) head.fields = UnpackStreamHeader(*head.word);
    if (head.has_header && !head.word) {
      head.notes.push_back("the header word does not convert to a 32-bit integer");
    }
    if (head.word && depth == 0 && head.fields.kind == kGraphStreamKind) {
      head.form = Form::Object;
      head.graph = true;
      graph_ = true;
    } else if (head.word && graph_ && head.fields.kind == kReferenceStreamKind) {
      head.form = Form::Reference;
    } else if (head.word && head.fields.kind == kObjectStreamKind) {
      head.form = Form::Object;
    } else if (head.word && head.fields.kind == kArrayStreamKind) {
      head.form = Form::Array;
    } else if (head.word) {
      head.notes.push_back("stream kind " + std::to_string(head.fields.kind) +
                           " is no known kind: not a Stream");
    }

    std::optional<BagReader> elements;
    std::vector<std::string> layout_keys{std::string(kHeaderKey)};
    if (head.form == Form::Object) {
      DescribeObjectHead(bag, info, head);
      if (head.class_stored) layout_keys.emplace_back(kClassNameKey);
      if (graph_ && !(head.fields.empty && !head.class_stored))
        NumberObject(bag, head, layout_keys);
    } else if (head.form == Form::Reference) {
      DescribeReference(bag, head, layout_keys);
    } else if (head.form == Form::Array) {
      elements = DescribeArrayHead(bag, head, layout_keys);
    } else if (!head.has_header) {
      head.notes.push_back("no header word (\"@SF#\"): not a Stream");
    }
    if (!head.word) layout_keys.clear();
    for (std::size_t i = 0; i < bag.Entries().size(); ++i) {
      const BagReader::Entry& e = bag.Entries()[i];
      if (IsLayoutKey(e.key, layout_keys)) {
        head.layout.push_back({i, &e, elements.has_value() && e.key == kElementsKey});
      }
    }

    sink_.BeginStream(head);
    if (head.form == Form::Array) {
      sink_.BeginList(ListKind::Elements);
      if (elements) {
        for (const BagReader::Entry& e : elements->Entries()) Entry(e, depth, true);
      }
      sink_.EndList();
      const bool others =
          std::any_of(bag.Entries().begin(), bag.Entries().end(),
                      [&](const BagReader::Entry& e) { return !IsLayoutKey(e.key, layout_keys); });
      if (others) {
        sink_.BeginList(ListKind::OtherEntries);
        for (const BagReader::Entry& e : bag.Entries()) {
          if (!IsLayoutKey(e.key, layout_keys)) Entry(e, depth, false);
        }
        sink_.EndList();
      }
    } else {
      sink_.BeginList(ListKind::Entries);
      for (const BagReader::Entry& e : bag.Entries()) {
        if (!IsLayoutKey(e.key, layout_keys)) Entry(e, depth, false);
      }
      sink_.EndList();
    }
    sink_.EndStream();
  }

 private:
  // The path of the stream being walked: "(root)", "Parts(0)", "Parts(0).Owner".
  std::string Path() const {
    std::string path;
    for (const std::string& step : path_) path += step;
    return path.empty() ? "(root)" : path;
  }

  void NumberObject(const BagReader& bag, StreamHead& head, std::vector<std::string>& layout_keys) {
    if (bag.Find(kObjectIdKey) != nullptr) layout_keys.emplace_back(kObjectIdKey);
    head.object_id = ReadNumber(bag, kObjectIdKey);
    if (!head.object_id || *head.object_id <= last_id_) {
      head.notes.push_back(
          "no object number (\"@ID#\") greater than those before it: the reader refuses the "
          "Stream");
      return;
    }
    last_id_ = *head.object_id;
    paths_.emplace(*head.object_id, Path());
  }

  void DescribeReference(const BagReader& bag, StreamHead& head,
                         std::vector<std::string>& layout_keys) {
    if (bag.Find(kReferenceKey) != nullptr) layout_keys.emplace_back(kReferenceKey);
    head.reference_id = ReadNumber(bag, kReferenceKey);
    if (head.reference_id) {
      if (const auto it = paths_.find(*head.reference_id); it != paths_.end()) {
        head.reference_path = it->second;
      }
    }
    if (!head.reference_path) {
      head.notes.push_back("points to no object written before it: the reader refuses the Stream");
    }
  }

  static bool IsLayoutKey(std::string_view key, const std::vector<std::string>& keys) {
    return std::find(keys.begin(), keys.end(), key) != keys.end();
  }

  static void DescribeObjectHead(const BagReader& bag, const StreamInfo& info, StreamHead& head) {
    head.class_name = info.class_name;
    const BagReader::Entry* stored = bag.Find(kClassNameKey);
    head.class_stored = stored != nullptr && stored->type == VarType::BStr;
    if (head.fields.version != kFormatVersion) {
      head.notes.push_back("format version " + std::to_string(head.fields.version) +
                           ": the reader makes the object but restores none of its properties");
    }
    if (head.class_name.empty()) {
      head.notes.push_back("no class name: the object cannot be rebuilt");
    }
  }

  std::optional<BagReader> DescribeArrayHead(const BagReader& bag, StreamHead& head,
                                             std::vector<std::string>& layout_keys) const {
    const int element_type = ElementTypeCode(*head.word);
    const std::size_t dims = static_cast<std::size_t>(head.fields.dimensions);
    if (head.fields.version != kFormatVersion) {
      head.notes.push_back("format version " + std::to_string(head.fields.version) +
                           ": reads back as Empty");
    }
    if (dims > kMaxEncodedDimensions) {
      head.notes.push_back(std::to_string(dims) +
                           " dimensions: more than 5, the array is not rebuilt");
    }
    const bool objects_rebuilt = graph_ && element_type == static_cast<int>(VarType::Dispatch);
    if (!IsRebuiltElementType(element_type) && !objects_rebuilt) {
      head.notes.push_back("element type " + std::to_string(element_type) + " (" +
                           TypeNameOfCode(element_type) + ") is not rebuilt: reads back as Null");
    }
    if (dims == 0 || head.fields.empty) {
      if (dims != 0) head.notes.push_back("the empty flag is set: the bounds are not read");
      return std::nullopt;
    }

    std::uint64_t count = 1;
    bool all_known = true;
    for (std::size_t d = 1; d <= dims; ++d) {
      const std::string lower_key = "D" + std::to_string(d);
      const std::string upper_key = "G" + std::to_string(d);
      Dimension dim{ReadI4(bag, lower_key), ReadI4(bag, upper_key)};
      for (const std::string* key : {&lower_key, &upper_key}) {
        if (bag.Find(*key) != nullptr) layout_keys.push_back(*key);
      }
      if (!dim.lower || !dim.upper) {
        all_known = false;
        head.notes.push_back("dimension " + std::to_string(d) +
                             ": a bound is missing or not a 32-bit integer");
      } else {
        const ArrayBound bound{*dim.lower, *dim.upper};
        if (*dim.upper < *dim.lower) {
          head.notes.push_back("dimension " + std::to_string(d) +
                               " has no elements: reads back as Null");
        }
        count = SaturatingProduct(count, bound.Count());
      }
      head.bounds.push_back(dim);
    }
    if (all_known) head.element_count = count;

    layout_keys.emplace_back(kElementsKey);
    std::optional<BagReader> elements;
    if (const auto element_bytes = bag.ReadBytes(kElementsKey)) {
      elements = BagReader::TryParse(*element_bytes);
      if (!elements) head.notes.push_back("the element bag (\"@AE#\") is not a property bag");
    } else {
      head.notes.push_back("no element bag (\"@AE#\")");
    }
    if (elements) {
      head.element_entries = elements->Size();
      if (head.element_count && *head.element_count != elements->Size()) {
        const bool saturated = *head.element_count == std::numeric_limits<std::uint64_t>::max();
        std::string note =
            "the bounds give " +
            (saturated ? std::string("more than 2^64") : std::to_string(*head.element_count)) +
            " elements, the element bag holds " + std::to_string(elements->Size());
        if (*head.element_count > elements->Size() && !graph_) {
          note +=
              ": elements without an entry (such as object references, which a bag cannot "
              "hold) read back as Empty";
        }
        head.notes.push_back(std::move(note));
      }
    }
    return elements;
  }

  void Entry(const BagReader::Entry& e, std::size_t depth, bool element) {
    if (e.type != kByteArrayType) {
      Variant value;
      try {
        value = BagReader::Decode(e);
      } catch (...) {
        value = Variant(kNull);
      }
      sink_.Scalar(e, element, value);
      return;
    }
    ByteEntry entry;
    entry.key = e.key;
    entry.element = element;
    const std::optional<BytePayload> payload = ReadBytePayload(e.payload);
    if (!payload || !payload->allocated) {
      entry.content = ByteContent::Unallocated;
      sink_.BeginBytes(entry);
      sink_.EndBytes();
      return;
    }
    entry.lower = payload->lower;
    entry.bytes = payload->bytes;
    std::optional<BagReader> nested = BagReader::TryParse(payload->bytes);
    if (!nested) {
      entry.content = ByteContent::Raw;
    } else if (depth + 1 > max_depth_) {
      entry.content = ByteContent::TooDeep;
    } else {
      entry.content = ByteContent::Nested;
    }
    sink_.BeginBytes(entry);
    if (entry.content == ByteContent::Nested) {
      path_.push_back(element ? "(" + ElementIndices(e.key) + ")"
                              : (path_.empty() ? "" : ".") + std::string(e.key));
      Stream(payload->bytes, *nested, depth + 1);
      path_.pop_back();
    }
    sink_.EndBytes();
  }

  // An element key "-1.2" as the indices of a path: "-1,2".
  static std::string ElementIndices(std::string_view key) {
    std::string out(key);
    std::replace(out.begin(), out.end(), '.', ',');
    return out;
  }

  Sink& sink_;
  std::size_t max_depth_;
  // Graph streams: the objects met so far, by number, and the last number.
  bool graph_ = false;
  std::int32_t last_id_ = -1;
  std::unordered_map<std::int32_t, std::string> paths_;
  std::vector<std::string> path_;
};

// ---- Text ------------------------------------------------------------------------

std::string ScalarText(const Variant& value) {
  if (value.IsString()) return EscapeForTerminal(value.String(), true);
  if (value.IsEmpty()) return "Empty";
  return EscapeForTerminal(DisplayText(value), false);
}

std::string Plural(std::uint64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string HeaderText(const StreamHead& head) {
  if (!head.word) return {};
  const StreamHeader& f = head.fields;
  const int element_type = ElementTypeCode(*head.word);
  std::string text = "@SF# " + std::to_string(*head.word) + " = " + HexWord(*head.word) +
                     ": version " + std::to_string(f.version) + ", kind " + std::to_string(f.kind);
  if (f.kind == kObjectStreamKind) text += " (object stream)";
  if (f.kind == kArrayStreamKind) text += " (array stream)";
  if (f.kind == kGraphStreamKind) text += " (graph stream)";
  if (f.kind == kReferenceStreamKind) text += " (reference)";
  text += ", reserved " + std::to_string(f.reserved ? 1 : 0);
  text += ", empty " + std::to_string(f.empty ? 1 : 0);
  text += ", dimensions " + std::to_string(f.dimensions);
  text += ", element type " + std::to_string(element_type);
  if (element_type != 0) text += " (" + TypeNameOfCode(element_type) + ")";
  return text;
}

std::string SummaryText(const StreamHead& head) {
  std::string text;
  switch (head.form) {
    case Form::Object:
      if (head.fields.empty && !head.class_stored) {
        text = "object stream of Nothing (a null reference)";
      } else if (head.class_name.empty()) {
        text = "object stream without a class name";
      } else {
        text = (head.graph ? "graph stream of class " : "object stream of class ") +
               EscapeForTerminal(head.class_name, true);
      }
      if (head.object_id) text += " (object " + std::to_string(*head.object_id) + ")";
      break;
    case Form::Reference:
      text = "reference to ";
      text += head.reference_id ? "object " + std::to_string(*head.reference_id) : "no number";
      if (head.reference_path) text += " at " + EscapeForTerminal(*head.reference_path, false);
      break;
    case Form::Array: {
      const int element_type = ElementTypeCode(*head.word);
      text = "array stream of " + TypeNameOfCode(element_type);
      if (head.fields.dimensions == 0 || head.fields.empty) {
        text += ", no dimensions";
      } else {
        text += ", " + Plural(static_cast<std::uint64_t>(head.fields.dimensions), "dimension",
                              "dimensions");
      }
      break;
    }
    case Form::Bag:
      text = head.has_header ? "property bag with a header word of no known kind"
                             : "property bag without a header word";
      text += ", " + Plural(head.entries, "entry", "entries");
      break;
  }
  return text + ", " + Plural(head.size, "byte", "bytes");
}

std::string BoundsText(const StreamHead& head) {
  if (head.bounds.empty()) return {};
  std::string text = "bounds (";
  for (std::size_t i = 0; i < head.bounds.size(); ++i) {
    if (i > 0) text += ", ";
    const Dimension& d = head.bounds[i];
    text += d.lower ? std::to_string(*d.lower) : "?";
    text += " To ";
    text += d.upper ? std::to_string(*d.upper) : "?";
  }
  text += ")";
  if (head.element_count) {
    if (*head.element_count == std::numeric_limits<std::uint64_t>::max()) {
      text += ", more than 2^64 elements";
    } else {
      text += ", " + Plural(*head.element_count, "element", "elements");
    }
  }
  if (head.element_entries) {
    text += ", element bag of " + Plural(*head.element_entries, "entry", "entries");
  }
  return text;
}

class TextSink : public Sink {
 public:
  TextSink(std::ostream& out, std::string name) : out_(out), label_(std::move(name) + ": ") {}

  void BeginStream(const StreamHead& head) override {
    Line(label_ + SummaryText(head));
    label_.clear();
    ++indent_;
    if (head.word) Line(HeaderText(head));
    if (head.form == Form::Array && !head.bounds.empty()) Line(BoundsText(head));
    for (const std::string& note : head.notes) Line("note: " + note);
  }
  void EndStream() override { --indent_; }

  void BeginList(ListKind kind) override {
    if (kind == ListKind::OtherEntries) Line("entries outside the array layout:");
  }
  void EndList() override {}

  void Scalar(const BagReader::Entry& entry, bool element, const Variant& value) override {
    const std::string_view key = entry.key;
    if (value.IsEmpty() || value.IsNull()) {
      Line(Label(key, element) + TypeName(value.Type()));
    } else {
      Line(Label(key, element) + TypeName(value.Type()) + " = " + ScalarText(value));
    }
  }

  void BeginBytes(const ByteEntry& entry) override {
    const std::string label = Label(entry.key, entry.element);
    switch (entry.content) {
      case ByteContent::Nested:
        label_ = label;
        return;
      case ByteContent::Unallocated:
        Line(label + "Byte(), unallocated");
        return;
      case ByteContent::TooDeep:
        Line(label + Plural(entry.bytes.size(), "byte", "bytes") +
             ", a nested bag not shown: deeper than the depth limit (--max-depth)");
        return;
      case ByteContent::Raw: {
        const std::int64_t upper = static_cast<std::int64_t>(entry.lower) +
                                   static_cast<std::int64_t>(entry.bytes.size()) - 1;
        std::string text = label + "Byte(" + std::to_string(entry.lower) + " To " +
                           std::to_string(upper) + "), " +
                           Plural(entry.bytes.size(), "byte", "bytes");
        if (!entry.bytes.empty()) {
          text += ": " + Hex(entry.bytes, kTerminalHexBytes, " ");
          if (entry.bytes.size() > kTerminalHexBytes) text += " ...";
        }
        Line(text);
        return;
      }
    }
  }
  void EndBytes() override {}

 private:
  static std::string Label(std::string_view key, bool element) {
    if (element) return "[" + EscapeForTerminal(key, false) + "] ";
    return EscapeForTerminal(key, false) + ": ";
  }

  void Line(const std::string& text) { out_ << std::string(indent_ * 2, ' ') << text << '\n'; }

  std::ostream& out_;
  std::string label_;
  std::size_t indent_ = 0;
};

// ---- JSON ----------------------------------------------------------------------

class JsonSink : public Sink {
 public:
  JsonSink(std::ostream& out, std::string name, bool compact)
      : json_(out, compact ? 0 : 2), name_(std::move(name)) {}

  void BeginStream(const StreamHead& head) override {
    if (depth_ == 0) {
      json_.BeginObject();
      json_.Field("file", name_);
      json_.Field("size", static_cast<std::uint64_t>(head.size));
      json_.Key("stream");
    }
    ++depth_;
    json_.BeginObject();
    json_.Field("form", head.form == Form::Object      ? "object stream"
                        : head.form == Form::Array     ? "array stream"
                        : head.form == Form::Reference ? "reference"
                                                       : "bag");
    json_.Field("size", static_cast<std::uint64_t>(head.size));
    json_.Key("header");
    if (head.word) {
      json_.BeginObject();
      json_.Field("word", static_cast<std::int64_t>(*head.word));
      json_.Field("hex", HexWord(*head.word));
      json_.Field("version", static_cast<std::int64_t>(head.fields.version));
      json_.Field("kind", static_cast<std::int64_t>(head.fields.kind));
      json_.Field("reserved", head.fields.reserved);
      json_.Field("empty", head.fields.empty);
      json_.Field("dimensions", static_cast<std::int64_t>(head.fields.dimensions));
      json_.Field("element_type", static_cast<std::int64_t>(ElementTypeCode(*head.word)));
      json_.EndObject();
    } else {
      json_.Null();
    }
    if (head.form == Form::Object) {
      json_.Field("class", head.class_name);
      json_.Field("class_stored", head.class_stored);
      json_.Field("null_reference", head.fields.empty && !head.class_stored);
      if (head.graph) json_.Field("graph", true);
      if (head.object_id) json_.Field("object", static_cast<std::int64_t>(*head.object_id));
    }
    if (head.form == Form::Reference) {
      json_.Key("object");
      head.reference_id ? json_.Int(*head.reference_id) : json_.Null();
      json_.Key("path");
      head.reference_path ? json_.String(*head.reference_path) : json_.Null();
    }
    if (head.form == Form::Array) {
      const int element_type = ElementTypeCode(*head.word);
      json_.Field("element_type", static_cast<std::int64_t>(element_type));
      json_.Field("element_type_name", TypeNameOfCode(element_type));
      json_.Key("bounds");
      json_.BeginArray();
      for (const Dimension& d : head.bounds) {
        json_.BeginObject();
        json_.Key("lower");
        d.lower ? json_.Int(*d.lower) : json_.Null();
        json_.Key("upper");
        d.upper ? json_.Int(*d.upper) : json_.Null();
        json_.EndObject();
      }
      json_.EndArray();
      json_.Key("element_count");
      head.element_count ? json_.UInt(*head.element_count) : json_.Null();
      json_.Key("element_entries");
      head.element_entries ? json_.UInt(*head.element_entries) : json_.Null();
    }
    json_.Key("notes");
    json_.BeginArray();
    for (const std::string& note : head.notes) json_.String(note);
    json_.EndArray();
    json_.Key("layout");
    json_.BeginArray();
    for (const StreamHead::Layout& item : head.layout) LayoutEntry(item);
    json_.EndArray();
  }

  void EndStream() override {
    json_.EndObject();
    if (--depth_ == 0) {
      json_.EndObject();
      json_.Finish();
    }
  }

  void BeginList(ListKind kind) override {
    json_.Key(kind == ListKind::Entries    ? "entries"
              : kind == ListKind::Elements ? "elements"
                                           : "other_entries");
    json_.BeginArray();
  }
  void EndList() override { json_.EndArray(); }

  void Scalar(const BagReader::Entry& entry, bool /*element*/, const Variant& value) override {
    (void)value;
    json_.BeginObject();
    Key(entry.key);
    TypeFields(Code(entry.type));
    WriteScalarValue(json_, Code(entry.type), entry.payload);
    json_.EndObject();
  }

  void BeginBytes(const ByteEntry& entry) override {
    json_.BeginObject();
    Key(entry.key);
    TypeFields(Code(kByteArrayType));
    json_.Field("allocated", entry.content != ByteContent::Unallocated);
    if (entry.content == ByteContent::Unallocated) return;
    json_.Field("lower", static_cast<std::int64_t>(entry.lower));
    json_.Field("length", static_cast<std::uint64_t>(entry.bytes.size()));
    switch (entry.content) {
      case ByteContent::Nested:
        json_.Key("stream");
        return;
      case ByteContent::TooDeep:
        json_.Field("not_shown", "nested deeper than the depth limit");
        return;
      default:
        json_.Field("hex", Hex(entry.bytes, std::numeric_limits<std::size_t>::max(), ""));
        return;
    }
  }
  void EndBytes() override { json_.EndObject(); }

 private:
  void Key(std::string_view key) {
    json_.Field("key", key);
    if (!IsValidUtf8(key)) json_.Field("key_hex", Hex(key));
  }

  void LayoutEntry(const StreamHead::Layout& item) {
    const BagReader::Entry& e = *item.entry;
    json_.BeginObject();
    json_.Field("at", static_cast<std::uint64_t>(item.at));
    Key(e.key);
    TypeFields(Code(e.type));
    if (e.type != kByteArrayType) {
      WriteScalarValue(json_, Code(e.type), e.payload);
    } else if (const std::optional<BytePayload> bytes = ReadBytePayload(e.payload);
               !bytes || !bytes->allocated) {
      json_.Field("allocated", false);
    } else {
      if (item.elements) json_.Field("elements", true);
      json_.Field("lower", static_cast<std::int64_t>(bytes->lower));
      if (!item.elements) {
        json_.Field("length", static_cast<std::uint64_t>(bytes->bytes.size()));
        json_.Field("hex", Hex(bytes->bytes, std::numeric_limits<std::size_t>::max(), ""));
      }
    }
    json_.EndObject();
  }

  void TypeFields(std::uint16_t code) {
    json_.Field("type", static_cast<std::int64_t>(code));
    json_.Field("type_name", TypeName(static_cast<VarType>(code)));
  }

  JsonWriter json_;
  std::string name_;
  std::size_t depth_ = 0;
};

}  // namespace

std::string EscapeForTerminal(std::string_view text, bool quoted) {
  std::string out;
  out.reserve(text.size() + 2);
  if (quoted) out += '"';
  while (!text.empty()) {
    const unsigned char c = static_cast<unsigned char>(text.front());
    if (const std::size_t n = Utf8SequenceLength(text); n > 1) {
      out.append(text.substr(0, n));
      text.remove_prefix(n);
      continue;
    }
    switch (c) {
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '"':
        out += quoted ? "\\\"" : "\"";
        break;
      default:
        if (c < 0x20 || c >= 0x7F) {
          out += "\\x";
          out += kHexDigits[c >> 4];
          out += kHexDigits[c & 0xF];
        } else {
          out += static_cast<char>(c);
        }
    }
    text.remove_prefix(1);
  }
  if (quoted) out += '"';
  return out;
}

bool InspectStreamBytes(std::span<const std::uint8_t> bytes, const InspectOptions& options,
                        std::ostream& out, std::string& error) {
  if (bytes.empty()) {
    error = "not a Stream: the input is empty";
    return false;
  }
  if (const std::optional<StreamFault> fault = DiagnoseStream(bytes, true)) {
    error = "not a Stream: " + FaultText(*fault);
    return false;
  }
  std::optional<BagReader> bag(std::in_place, bytes);
  const std::size_t max_depth = std::min(options.max_depth, kMaxInspectDepth);
  if (options.json) {
    JsonSink sink(out, options.name, options.compact);
    Walker(sink, max_depth).Stream(bytes, *bag, 0);
  } else {
    TextSink sink(out, options.name);
    Walker(sink, max_depth).Stream(bytes, *bag, 0);
  }
  return true;
}

}  // namespace replikon::cli
