// `replikon demo`: the whole road of an object graph through the component,
// on the sample order book server.
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "automation/bag_codec.hpp"
#include "graph_compare.hpp"
#include "orders/orders_server.hpp"
#include "replikon/control/replikon.hpp"
#include "replikon/server.hpp"
#include "replikon/stream/stream_layout.hpp"
#include "replikon/version.hpp"
#include "replikon_cli.hpp"
#include "stream_diff.hpp"

namespace replikon::cli {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kServer = orders::kServerName;

std::string MillisText(Clock::duration d) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f ms", std::chrono::duration<double, std::milli>(d).count());
  return text;
}

std::string BoolText(bool value) {
  return value ? "True" : "False";
}

bool IsExternal(const ClassRegistry& registry, const ObjectRef& object) {
  const std::string class_name = ClassNameOf(object);
  const auto info = registry.FindClass(std::string(kServer) + "." + class_name);
  return info == nullptr || info->Name() != class_name;
}

// Follows one call's RecursionCheck events and writes them as they happen,
// indented by the depth of the object whose property is processed.
class EventLog {
 public:
  enum class Show { All, ProblemsOnly };

  // `peek`: read the property's value to show what it holds (for Copy and
  // StreamFromObject, whose objects are the caller's; the reader's new
  // objects hold only their initial values).
  EventLog(Replikon& control, std::ostream& out, const ClassRegistry& registry, bool peek,
           Show show)
      : control_(control), out_(out), registry_(registry), peek_(peek), show_(show) {
    id_ = control_.AddRecursionCheckHandler([this](RecursionCheckArgs& e) {
      try {
        Handle(e);
      } catch (...) {
        // Showing an event must never disturb the call.
      }
    });
  }
  ~EventLog() { control_.RemoveRecursionCheckHandler(id_); }
  EventLog(const EventLog&) = delete;
  EventLog& operator=(const EventLog&) = delete;

  std::size_t Events() const noexcept { return events_; }
  std::size_t Problems() const noexcept { return problems_; }

 private:
  // The depth of the event's current object: the path from the root is kept
  // from the events' parent and current objects.
  std::size_t Depth(const RecursionCheckArgs& e) {
    const Instance* current = e.current_object.get();
    const Instance* parent = e.parent_object.get();
    auto find = [&](const Instance* object) -> std::optional<std::size_t> {
      for (std::size_t i = 0; i < path_.size(); ++i) {
        if (path_[i] == object) return i;
      }
      return std::nullopt;
    };
    if (current != nullptr) {
      if (const auto i = find(current)) {
        path_.resize(*i + 1);
        return *i;
      }
    }
    if (const auto j = find(parent)) {
      path_.resize(*j + 1);
    } else {
      path_.clear();
    }
    if (current == nullptr) return path_.size();
    path_.push_back(current);
    return path_.size() - 1;
  }

  bool OnPath(const ObjectRef& object) const {
    for (const Instance* p : path_) {
      if (p == object.get()) return true;
    }
    return false;
  }

  void Handle(const RecursionCheckArgs& e) {
    ++events_;
    if (e.error_status != 0) ++problems_;
    const std::size_t depth = Depth(e);
    if (show_ == Show::ProblemsOnly && e.error_status == 0) return;

    std::string line(4 + 2 * depth, ' ');
    if (e.current_object_property.empty()) {
      line += e.current_object.IsNull() ? "creating an object of the Stream"
                                        : "the root " + ClassNameOf(e.current_object);
    } else {
      line += ClassNameOf(e.current_object) + "." + e.current_object_property;
      if (peek_) {
        try {
          const Variant value =
              InvokeByName(e.current_object, e.current_object_property, InvokeKind::PropertyGet);
          line += " -> " + ValueText(value);
          if (value.IsObject() && !value.Object().IsNull()) {
            if (OnPath(value.Object())) {
              line += ", already on the path: a cycle";
            } else if (IsExternal(registry_, value.Object())) {
              line += ", external: " + std::string(kServer) + " does not make it";
            }
          }
        } catch (...) {
          line += " -> (cannot be read)";
        }
      }
    }
    if (e.error_status != 0) {
      line += "   [ErrorStatus " + std::to_string(e.error_status) + ", Cancel " +
              BoolText(e.cancel) + "]";
    }
    out_ << line << '\n';
  }

  Replikon& control_;
  std::ostream& out_;
  const ClassRegistry& registry_;
  bool peek_;
  Show show_;
  Replikon::HandlerId id_ = 0;
  std::vector<const Instance*> path_;
  std::size_t events_ = 0;
  std::size_t problems_ = 0;
};

void Assign(const ObjectRef& object, const char* name, const Variant& value, InvokeKind kind) {
  InvokeByName(object, name, kind, {&value, 1});
}

// The sample order of the OrdersLib server, with a pending line as its Memo:
// a line without a product yet (a null subobject) whose Parent links back to
// the invoice (weakly: a back-pointer that keeps nothing alive). The line is
// made and wired late-bound, by name.
ObjectRef BuildSampleOrder(ClassRegistry& registry) {
  ObjectRef invoice = orders::MakeSampleInvoice(registry, true);
  ObjectRef pending = registry.CreateByProgId(std::string(kServer) + ".Line");
  Assign(pending, "Quantity", Variant(std::int32_t{5}), InvokeKind::PropertyPut);
  Assign(pending, "UnitPrice", Variant(Currency{99500}), InvokeKind::PropertyPut);
  Assign(pending, "Parent", Variant(invoice), InvokeKind::PropertyPutRef);
  Assign(invoice, "Memo", Variant(pending), InvokeKind::PropertyPutRef);
  return invoice;
}

// An order for the whole-graph step: the sample invoice, its two Lines in a
// Variant array each linking back to it through Parent (weak), and both Lines
// selling the same Product.
ObjectRef BuildLinkedOrder(ClassRegistry& registry) {
  ObjectRef invoice = orders::MakeSampleInvoice(registry, true);
  const Variant lines = InvokeByName(invoice, "Lines", InvokeKind::PropertyGet);
  const Variant product =
      InvokeByName(lines.Array().GetFlat(0).Object(), "Product", InvokeKind::PropertyGet);
  Assign(lines.Array().GetFlat(1).Object(), "Product", product, InvokeKind::PropertyPutRef);
  return invoice;
}

// What became of the linked order's Lines in `result`, made from `original`:
// whether they are new objects, where their Parents point, and whether the
// two Lines still sell one Product. `ok` tells whether the shape is whole.
std::string DescribeLines(const ObjectRef& original, const ObjectRef& result, bool& ok) {
  ok = false;
  if (result.IsNull()) return "no object";
  const Variant lines = InvokeByName(result, "Lines", InvokeKind::PropertyGet);
  if (!lines.IsArray()) return "Lines " + ValueText(lines);
  const Variant source_lines = InvokeByName(original, "Lines", InvokeKind::PropertyGet);
  const SafeArray& array = lines.Array();
  std::vector<ObjectRef> found;
  for (std::size_t i = 0; i < array.Count(); ++i) {
    const Variant element = array.GetFlat(i);
    if (element.IsObject() && !element.Object().IsNull()) found.push_back(element.Object());
  }
  if (found.empty()) return "Lines " + ValueText(lines);
  if (source_lines.IsArray() && found.front() == source_lines.Array().GetFlat(0).Object()) {
    return std::to_string(found.size()) + " Lines, the original's own (shared, not copied)";
  }
  std::size_t to_result = 0;
  std::size_t to_original = 0;
  for (const ObjectRef& line : found) {
    const ObjectRef parent = InvokeByName(line, "Parent", InvokeKind::PropertyGet).Object();
    if (parent == result) ++to_result;
    if (parent == original) ++to_original;
  }
  const auto product_of = [](const ObjectRef& line) {
    return InvokeByName(line, "Product", InvokeKind::PropertyGet).Object();
  };
  const bool one_product = found.size() == 2 && !product_of(found[0]).IsNull() &&
                           product_of(found[0]) == product_of(found[1]);
  std::string text = std::to_string(found.size()) + " new Lines; Parent -> ";
  text += to_result == found.size()     ? "this invoice"
          : to_original == found.size() ? "the original invoice"
                                        : "Nothing";
  text += one_product ? "; one shared Product" : "; two Products";
  ok = found.size() == 2 && to_result == 2 && one_product;
  return text;
}

std::string LastName(const std::string& path) {
  const std::size_t dot = path.rfind('.');
  return dot == std::string::npos ? path : path.substr(dot + 1);
}

// Why a property differs, in the words of the call that produced the result.
std::string Explain(const PropertyDifference& d, bool from_stream) {
  switch (d.kind) {
    case DifferenceKind::ExternalMissing:
      return std::string("an external subobject: ") + kServer + " cannot create a " + d.class_name +
             (from_stream ? ", and a Stream never refers to an outside object, so it was left out"
                          : ", and SetExternalReferences is False, so it was not carried over");
    case DifferenceKind::BackPointerMissing:
      return from_stream ? "a back-pointer to an object being written (a cycle): it was left out, "
                           "or writing would never end"
                         : "a back-pointer (a cycle) that was not carried over";
    case DifferenceKind::ObjectBecameValue:
      if (d.declared_variant && from_stream) {
        return LastName(d.path) +
               " is declared as Variant and held an object. On a newly made object it holds "
               "Empty, not an object reference, so the reader restores it as a value; a nested "
               "object stream taken as a value is Empty";
      }
      return "an object was not restored; the property holds a value instead";
    case DifferenceKind::ArrayObjectsLost:
      return "without PreserveIdentity, object references inside an array are not stored in "
             "the property bag: those elements come back Empty (step 6 shows the setting)";
    case DifferenceKind::NullNotKept:
      return from_stream ? "Null is stored, but the reader takes a stored Null as nothing to "
                           "assign: the property keeps what the new object gave it"
                         : "Null was not carried over";
    case DifferenceKind::ObjectMissing:
      return "the subobject was not restored: the property keeps the new object's Nothing";
    case DifferenceKind::ClassDiffers:
      return "the objects are of different classes, or only one is an object";
    case DifferenceKind::Unreadable:
      return "the property can be read on one side only";
    case DifferenceKind::Value:
      break;
  }
  if (d.read_only) {
    return "read-only (no let member): the object computes it, here from properties that differ";
  }
  return "the values differ";
}

void PrintComparison(std::ostream& out, const char* what, const GraphComparison& c,
                     bool from_stream) {
  out << "  " << what << ": " << c.objects << " objects, " << c.properties
      << " properties compared; ";
  if (c.differences.empty()) {
    out << "all equal.\n";
  } else {
    out << c.differences.size() << " differ:\n";
    for (const PropertyDifference& d : c.differences) {
      out << "    " << d.path << ": " << d.original << "  ->  " << d.other << '\n';
      std::string why = Explain(d, from_stream) + ".";
      why.front() = static_cast<char>(std::toupper(static_cast<unsigned char>(why.front())));
      out << WrapText(why, 6);
    }
  }
  for (const ComparisonNote& note : c.notes) {
    out << "    (" << note.path << ": " << note.text << ")\n";
  }
}

// The directory for the files: `dir` (made when missing), or a new one.
std::optional<fs::path> PrepareDirectory(const std::string& dir, std::ostream& err) {
  std::error_code ec;
  if (!dir.empty()) {
    fs::create_directories(dir, ec);
    if (ec || !fs::is_directory(dir)) {
      err << "replikon demo: cannot use the directory " << dir << ": "
          << (ec ? ec.message() : "not a directory") << '\n';
      return std::nullopt;
    }
    return fs::path(dir);
  }
  fs::path base = fs::temp_directory_path(ec);
  if (ec) base = "/tmp";
  std::string pattern = (base / "replikon-demo-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    err << "replikon demo: cannot make a temporary directory in " << base.string() << '\n';
    return std::nullopt;
  }
  return fs::path(pattern);
}

}  // namespace

int RunDemo(const DemoOptions& options, std::ostream& out, std::ostream& err) {
  const std::optional<fs::path> dir = PrepareDirectory(options.dir, err);
  if (!dir) return kExitNo;

  ClassRegistry& registry = ClassRegistry::Global();
  orders::RegisterOrdersServer(registry);
  const Clock::time_point start = Clock::now();

  out << "Replikon " << kVersionString << " demo, on the sample order book server " << kServer
      << "\n\n";

  const ObjectRef original = BuildSampleOrder(registry);
  const GraphStats stats = CountGraph(original);
  out << "The order: an " << ClassNameOf(original) << " of " << kServer << ", " << stats.objects
      << " objects with " << stats.properties << " readable properties.\n"
      << "  Values of every type; arrays of Long, String, Byte and Variant (one holding an\n"
      << "  array of Double); the buyer, a Client with its Address; two Lines in a Variant\n"
      << "  array; a Carrier of the server " << orders::kOtherServerName
      << " (an external subobject); and as the\n"
      << "  Memo a pending Line without a product (a null subobject) whose Parent links\n"
      << "  back to the invoice (a weak property, still a back-pointer to an ancestor).\n\n";

  Replikon control;
  control.SetObjectServerName(kServer);
  out << WrapText("The component: ObjectServerName \"" + control.ObjectServerName() +
                      "\", RecursionAllowed " + BoolText(control.RecursionAllowed()) +
                      ", RaiseRecursionCheckEvent " + BoolText(control.RaiseRecursionCheckEvent()) +
                      ".",
                  0)
      << '\n';
  // ---- Copy
  control.SetProblemsNotification(ProblemsNotificationConstants::SourceObjectOnly);
  control.SetSetExternalReferences(true);
  out << "1. Copy\n"
      << "  With ProblemsNotification SourceObjectOnly and SetExternalReferences True, the\n"
      << "  copy shares the external carrier instead of failing on it.\n"
      << "  RecursionCheck events (object.property -> what it holds):\n";
  ObjectRef copy;
  Clock::duration copy_time{};
  {
    EventLog log(control, out, registry, true, EventLog::Show::All);
    const Clock::time_point t = Clock::now();
    copy = control.Copy(original);
    copy_time = Clock::now() - t;
    out << "  Copy made in " << MillisText(copy_time) << " (" << log.Events() << " events).\n\n";
  }

  // ---- StreamFromObject
  control.SetProblemsNotification(ProblemsNotificationConstants::OnSubobjectProblem);
  out << "2. StreamFromObject\n"
      << WrapText(std::string("With ProblemsNotification OnSubobjectProblem (the default), the "
                              "carrier, which ") +
                      kServer +
                      " cannot create, and the Memo line's back-pointer, which would be written "
                      "without end, are problems that fail the call. Problem events:",
                  2);
  {
    EventLog log(control, out, registry, true, EventLog::Show::ProblemsOnly);
    try {
      control.StreamFromObject(original);
      out << "  (no error was raised)\n";
    } catch (const AutomationError& e) {
      out << "  -> error " << e.Number() << " \"" << e.Description() << "\":\n";
      WriteDetails(out, e, 5);
      out << "     the whole Stream was written, but it is not handed back.\n";
    }
  }
  control.SetProblemsNotification(ProblemsNotificationConstants::SourceObjectOnly);
  out << "  With SourceObjectOnly they are left out silently. RecursionCheck events:\n";
  SafeArray stream;
  Clock::duration write_time{};
  {
    EventLog log(control, out, registry, true, EventLog::Show::All);
    const Clock::time_point t = Clock::now();
    stream = control.StreamFromObject(original);
    write_time = Clock::now() - t;
  }
  out << "  Stream of " << stream.Count() << " bytes written in " << MillisText(write_time)
      << ".\n\n";

  // ---- Files
  const std::string stream_path = (*dir / "invoice.stream").string();
  const std::string tags_path = (*dir / "tags.stream").string();
  out << "3. StreamToFile and StreamFromFile\n";
  control.StreamToFile(stream, stream_path);
  out << "  Kept in " << stream_path << '\n';
  const SafeArray read_back = control.StreamFromFile(stream_path);
  const bool same_bytes = read_back == stream;
  out << "  Read back: " << read_back.Count() << " bytes, "
      << (same_bytes ? "the same bytes" : "DIFFERENT BYTES") << "; IsStream "
      << BoolText(control.IsStream(read_back)) << ", ObjectTypeName \""
      << control.ObjectTypeName(read_back) << "\".\n";
  const BagReader bag(read_back.ByteSpan());
  if (const auto tags = bag.ReadBytes("Tags")) {
    const SafeArray tags_stream = SafeArray::FromBytes(*tags);
    control.StreamToFile(tags_stream, tags_path);
    out << "  Its Tags entry is a Stream of its own, kept in " << tags_path << ":\n"
        << "    IsStream " << BoolText(control.IsStream(tags_stream)) << ", ObjectTypeName \""
        << control.ObjectTypeName(tags_stream) << "\" (an array stream, not an object Stream).\n";
  }
  out << '\n';

  // ---- ObjectFromStream
  out << "4. ObjectFromStream, from the bytes read back\n"
      << "  RecursionCheck events (on the new objects):\n";
  ObjectRef rebuilt;
  Clock::duration read_time{};
  {
    EventLog log(control, out, registry, false, EventLog::Show::All);
    const Clock::time_point t = Clock::now();
    rebuilt = control.ObjectFromStream(read_back);
    read_time = Clock::now() - t;
  }
  out << "  Rebuilt an " << ClassNameOf(rebuilt) << " in " << MillisText(read_time) << ".\n\n";

  // ---- Comparison
  out << "5. Compared with the original, property by property (late-bound):\n";
  const GraphComparison copied = CompareGraphs(original, copy, registry, kServer);
  const GraphComparison restored = CompareGraphs(original, rebuilt, registry, kServer);
  PrintComparison(out, "The copy", copied, false);
  PrintComparison(out, "The rebuilt order", restored, true);
  if (!restored.not_compared.empty()) {
    std::string text = "Not compared:";
    const char* separator = " ";
    for (const std::string& name : restored.not_compared) {
      text += separator + name;
      separator = ", ";
    }
    out << WrapText(text + ".", 2);
  }
  out << '\n';

  // ---- Whole graphs
  out << "6. Whole graphs: PreserveIdentity\n"
      << WrapText(
             "Another order: its two Lines in a Variant array, each Line's Parent (a weak "
             "property) linking back to the invoice, and both Lines selling the same "
             "Product. Copy and a Stream round trip, with the default and with "
             "PreserveIdentity True (ProblemsNotification SourceObjectOnly):",
             2);
  bool graph_whole = false;
  const std::string graph_path = (*dir / "graph.stream").string();
  {
    const ObjectRef linked = BuildLinkedOrder(registry);
    for (const bool preserve : {false, true}) {
      control.SetPreserveIdentity(preserve);
      const char* label = preserve ? "  PreserveIdentity True:  " : "  default:                ";
      bool copy_ok = false;
      bool stream_ok = false;
      const ObjectRef graph_copy = control.Copy(linked);
      out << label << "Copy -> " << DescribeLines(linked, graph_copy, copy_ok) << '\n';
      const SafeArray graph_stream = control.StreamFromObject(linked);
      if (preserve) control.StreamToFile(graph_stream, graph_path);
      const ObjectRef graph_back = control.ObjectFromStream(graph_stream);
      out << std::string(26, ' ') << "Stream of " << graph_stream.Count() << " bytes -> "
          << DescribeLines(linked, graph_back, stream_ok) << '\n';
      if (preserve) graph_whole = copy_ok && stream_ok;
    }
    control.SetPreserveIdentity(false);
  }
  out << "  The whole-graph Stream is kept in " << graph_path << ".\n\n";

  // ---- diff
  const std::string rebuilt_path = (*dir / "rebuilt.stream").string();
  const SafeArray rebuilt_stream = control.StreamFromObject(rebuilt);
  control.StreamToFile(rebuilt_stream, rebuilt_path);
  out << "7. The rebuilt order streamed again (" << rebuilt_path << ") and compared with the\n"
      << "  original's Stream: replikon diff " << stream_path << ' ' << rebuilt_path << '\n';
  std::ostringstream differences;
  std::uint64_t entries_differing = 0;
  std::string diff_error;
  if (!DiffStreams(stream.ByteSpan(), rebuilt_stream.ByteSpan(), differences, entries_differing,
                   diff_error)) {
    differences << diff_error << '\n';
  }
  std::istringstream lines(differences.str());
  for (std::string line; std::getline(lines, line);) out << "    " << line << '\n';
  out << "  " << entries_differing
      << (entries_differing == 1 ? " entry differs" : " entries differ")
      << " (exit status 1 when any does, 0 when none).\n\n";

  out << "Summary\n"
      << "  " << stats.objects << " objects, " << stats.properties << " properties; "
      << copied.differences.size() << " differences in the copy, " << restored.differences.size()
      << " in the rebuilt order.\n"
      << "  Copy " << MillisText(copy_time) << "; Stream of " << stream.Count()
      << " bytes written in " << MillisText(write_time) << " and read in " << MillisText(read_time)
      << "; " << MillisText(Clock::now() - start) << " in all.\n"
      << "  Files in " << dir->string() << ". Next: replikon inspect " << stream_path << '\n';
  return same_bytes && !rebuilt.IsNull() && graph_whole ? kExitOk : kExitNo;
}

}  // namespace replikon::cli
