#include "stream_diff.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "automation/bag_codec.hpp"
#include "flat_stream.hpp"
#include "replikon/automation/property_bag.hpp"
#include "replikon/stream/stream_layout.hpp"
#include "stream/parsed_stream.hpp"
#include "stream_inspector.hpp"

namespace replikon::cli {

namespace {

constexpr std::size_t kHeadLevels = 16;
constexpr std::size_t kTailLevels = 32;
constexpr std::size_t kShownBytes = 16;

bool IsStreamBag(const BagReader& bag) {
  const StreamInfo info = InspectStream(&bag);
  return info.kind == kObjectStreamKind || info.kind == kArrayStreamKind;
}

bool IsArrayStream(const BagReader& bag) {
  if (bag.Find(kHeaderKey) == nullptr) return false;
  const std::optional<std::int32_t> word = StreamHeaderWord(bag);
  return word && UnpackStreamHeader(*word).kind == kArrayStreamKind;
}

std::optional<BagReader> NestedBag(const BagReader::Entry& e) {
  const auto bytes = BagReader::BytesOf(e);
  if (!bytes) return std::nullopt;
  return BagReader::TryParse(*bytes);
}

std::string Shortest(double value) {
  char text[32];
  const auto r = std::to_chars(text, text + sizeof text, value);
  return {text, r.ptr};
}

// An entry's type and value for a line of the difference.
std::string EntryText(const BagReader::Entry& e) {
  const std::string type = TypeName(e.type);
  if (e.type == VarType::Empty || e.type == VarType::Null) return type;
  if (e.type == kByteArrayType) {
    const auto bytes = BagReader::BytesOf(e);
    if (!bytes) return "Byte(), unallocated";
    if (const std::optional<BagReader> bag = BagReader::TryParse(*bytes)) {
      std::string class_name;
      const Nested nested = Classify(*bag, true, class_name);
      std::string text =
          nested == Nested::Object    ? "Stream of class " + EscapeForTerminal(class_name, true)
          : nested == Nested::Nothing ? std::string("Stream of Nothing")
          : nested == Nested::Bag     ? "bag of " + std::to_string(bag->Size()) + " entries"
                                      : std::string(NestedName(nested)) + " stream";
      return text + ", " + std::to_string(bytes->size()) + " bytes";
    }
    std::string text = type + ", " + std::to_string(bytes->size()) + " bytes";
    if (!bytes->empty()) {
      text += ": " + HexText(bytes->first(std::min(bytes->size(), kShownBytes)));
      if (bytes->size() > kShownBytes) text += "...";
    }
    return text;
  }
  const Variant v = BagReader::Decode(e);
  switch (e.type) {
    case VarType::BStr:
      return type + " " + EscapeForTerminal(v.String(), true);
    case VarType::R4:
      return type + " " + Shortest(static_cast<double>(*v.GetIf<float>()));
    case VarType::R8:
      return type + " " + Shortest(*v.GetIf<double>());
    case VarType::Cy:
      return type + " " + CurrencyText(v.GetIf<Currency>()->scaled);
    case VarType::Decimal:
      return type + " " + DecimalText(*v.GetIf<Decimal>());
    case VarType::Date: {
      const double days = v.GetIf<Date>()->days;
      const std::string iso = IsoDateText(days);
      return type + " " + (iso.empty() ? "(day " + Shortest(days) + ")" : iso);
    }
    default:
      return type + " " + DisplayText(v);
  }
}

bool SameValue(const BagReader::Entry& a, const BagReader::Entry& b) {
  return a.type == b.type && a.payload.size() == b.payload.size() &&
         std::equal(a.payload.begin(), a.payload.end(), b.payload.begin());
}

struct Frame {
  BagReader a;
  BagReader b;
  std::size_t next = 0;  // the next entry of a, then of b
  bool second_pass = false;
  bool elements = false;  // entries are array elements
  bool array = false;     // a's bag is an array stream
  std::size_t segment = 0;
};

class Differ {
 public:
  Differ(std::ostream& out, std::string root) : out_(out), path_(std::move(root)) {}

  std::uint64_t Run(BagReader a, BagReader b) {
    Push(std::move(a), std::move(b), false, path_.size());
    while (!frames_.empty()) Step();
    return differences_;
  }

 private:
  void Push(BagReader a, BagReader b, bool elements, std::size_t segment) {
    const bool array = IsArrayStream(a);
    frames_.push_back({std::move(a), std::move(b), 0, false, elements, array, segment});
  }

  void Step() {
    Frame& f = frames_.back();
    if (!f.second_pass) {
      if (f.next == f.a.Size()) {
        f.second_pass = true;
        f.next = 0;
        return;
      }
      const BagReader::Entry& ea = f.a.Entries()[f.next++];
      const BagReader::Entry* eb = f.b.Find(ea.key);
      if (eb == nullptr) return Report('-', ea.key, EntryText(ea) + "  (only in the first)");
      // Nested bags are opened rather than compared whole: comparing each
      // level's bytes would cost the square of the depth in a long chain.
      if (ea.type == kByteArrayType && eb->type == kByteArrayType) {
        std::optional<BagReader> na = NestedBag(ea);
        std::optional<BagReader> nb = na ? NestedBag(*eb) : std::nullopt;
        if (na && nb) {
          const bool elements = f.array && ea.key == kElementsKey;
          const std::size_t segment = path_.size();
          if (!elements) AppendPathSegment(path_, ea.key, f.elements);
          Push(std::move(*na), std::move(*nb), elements, segment);
          return;
        }
      }
      if (SameValue(ea, *eb)) return;
      return Report('~', ea.key, EntryText(ea) + "  |  " + EntryText(*eb));
    }
    if (f.next == f.b.Size()) {
      path_.resize(f.segment);
      frames_.pop_back();
      return;
    }
    const BagReader::Entry& eb = f.b.Entries()[f.next++];
    if (f.a.Find(eb.key) == nullptr) Report('+', eb.key, EntryText(eb) + "  (only in the second)");
  }

  void Report(char mark, std::string_view key, const std::string& text) {
    ++differences_;
    std::string path;
    if (frames_.size() < kFullPathLevels) {
      path = path_;
    } else {
      path.assign(path_, 0, frames_[kHeadLevels].segment);
      path += "\u2026";
      path.append(path_, frames_[frames_.size() - kTailLevels].segment);
    }
    AppendPathSegment(path, key, frames_.back().elements);
    out_ << mark << ' ' << EscapeForTerminal(path, false) << ": " << text << '\n';
  }

  std::ostream& out_;
  std::string path_;
  std::vector<Frame> frames_;
  std::uint64_t differences_ = 0;
};

}  // namespace

bool DiffStreams(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b,
                 std::ostream& out, std::uint64_t& differences, std::string& error) {
  std::optional<BagReader> bag_a = BagReader::TryParse(a);
  std::optional<BagReader> bag_b = BagReader::TryParse(b);
  if (!bag_a || !IsStreamBag(*bag_a)) {
    error = "the first input is not a Stream";
    return false;
  }
  if (!bag_b || !IsStreamBag(*bag_b)) {
    error = "the second input is not a Stream";
    return false;
  }
  std::string root = InspectStream(&*bag_a).class_name;
  if (root.empty() || IsArrayStream(*bag_a)) root = "(root)";
  differences = Differ(out, root).Run(std::move(*bag_a), std::move(*bag_b));
  return true;
}

}  // namespace replikon::cli
