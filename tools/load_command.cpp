// `replikon load`: a Stream rebuilt into real objects through a server found
// by name, the graph it built, and what the reader could not restore.
#include <algorithm>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "graph_compare.hpp"
#include "json_writer.hpp"
#include "replikon/replikon.hpp"
#include "replikon_cli.hpp"
#include "stream_inspector.hpp"

namespace replikon::cli {

namespace {

// How deep Streams nested in Streams are followed when listing their classes.
constexpr std::size_t kMaxNesting = 200;

struct ReadProblem {
  std::string where;  // "Invoice.Carrier"
  std::int16_t error = 0;
};

// What the Stream holds, read without creating anything: the class of each
// object stream in it, and the entries of each object stream.
struct StreamContents {
  std::set<std::string> classes;
  std::map<std::string, std::set<std::string>> entries;  // class -> its entries' names
};

void CollectContents(std::span<const std::uint8_t> bytes, std::size_t depth,
                     StreamContents& contents) {
  if (depth > kMaxNesting || !LoadsAsBag(bytes)) return;
  PropertyBag bag;
  try {
    bag.SetContents(bytes);
  } catch (const AutomationError&) {
    return;  // not a bag after all: nothing nested to list
  }
  const StreamInfo info = InspectStream(bytes);
  const bool object = info.is_object_stream && !info.holds_nothing;
  if (object) contents.classes.insert(info.class_name);
  for (const auto& [key, value] : bag.Entries()) {
    if (object && !key.starts_with('@')) contents.entries[info.class_name].insert(key);
    if (value.IsArray() && value.Array().IsAllocated() &&
        value.Array().ElementType() == VarType::UI1) {
      CollectContents(value.Array().ByteSpan(), depth + 1, contents);
    }
  }
}

// The properties of a class: those it lets or sets (what the reader
// restores) and those it only gets.
struct ClassProperties {
  std::set<std::string> restored;
  std::set<std::string> read_only;
};

std::optional<ClassProperties> PropertiesOf(const ClassRegistry& registry,
                                            const std::string& prog_id) {
  const auto definition = registry.FindDefinition(prog_id);
  if (definition == nullptr) return std::nullopt;
  try {
    const ObjectRef probe = ClassRegistry::Instantiate(*definition);
    ClassProperties properties;
    for (const MemberDescription& m : DescribeObject(probe)->Members()) {
      if (m.InvokeKind() == InvokeKind::PropertyPut ||
          m.InvokeKind() == InvokeKind::PropertyPutRef) {
        properties.restored.insert(m.Name());
      } else if (m.InvokeKind() == InvokeKind::PropertyGet) {
        properties.read_only.insert(m.Name());
      }
    }
    for (const std::string& name : properties.restored) properties.read_only.erase(name);
    return properties;
  } catch (const AutomationError&) {
    return std::nullopt;
  }
}

std::string FileLabel(const std::string& file) {
  return file == "-" ? "(standard input)" : file;
}

bool IsShownGet(const MemberDescription& m) {
  return m.InvokeKind() == InvokeKind::PropertyGet && !m.Hidden() && m.Params().empty();
}

// One object of the rebuilt graph as it is printed.
struct ShownObject {
  std::string class_name;
  struct Property {
    std::string name;
    std::string value;              // ValueText, or "(cannot be read)"
    std::vector<std::size_t> refs;  // the objects it holds (the property or array elements)
  };
  std::vector<Property> properties;
};

// Every object reachable from `root`, numbered in the order met (the root 0).
std::vector<ShownObject> WalkGraph(const ObjectRef& root) {
  std::vector<ShownObject> shown;
  std::unordered_map<const Instance*, std::size_t> ids;
  std::deque<ObjectRef> queue;
  const auto id_of = [&](const ObjectRef& object) {
    const auto [it, added] = ids.try_emplace(object.get(), ids.size());
    if (added) queue.push_back(object);
    return it->second;
  };
  id_of(root);
  while (!queue.empty()) {
    const ObjectRef object = std::move(queue.front());
    queue.pop_front();
    ShownObject& entry = shown.emplace_back();
    entry.class_name = ClassNameOf(object);
    std::shared_ptr<const InterfaceDescription> iface;
    try {
      iface = DescribeObject(object);
    } catch (const AutomationError&) {
      continue;
    }
    for (const MemberDescription& m : iface->Members()) {
      if (!IsShownGet(m)) continue;
      ShownObject::Property property{m.Name(), {}, {}};
      try {
        const Variant value = InvokeByName(object, m.Name(), InvokeKind::PropertyGet);
        property.value = ValueText(value);
        if (value.IsObject() && !value.Object().IsNull()) {
          property.refs.push_back(id_of(value.Object()));
        } else if (value.IsArray()) {
          const SafeArray& array = value.Array();
          for (std::size_t i = 0; i < array.Count(); ++i) {
            const Variant element = array.GetFlat(i);
            if (element.IsObject() && !element.Object().IsNull()) {
              property.refs.push_back(id_of(element.Object()));
            }
          }
        }
      } catch (const AutomationError& e) {
        property.value = "(cannot be read: error " + std::to_string(e.Number()) + ")";
      }
      shown[shown.size() - 1].properties.push_back(std::move(property));
    }
  }
  return shown;
}

struct LoadResult {
  std::vector<ShownObject> graph;
  std::vector<ReadProblem> problems;          // subobjects not made
  std::vector<std::string> classes_not_made;  // classes the server lacks
  struct Unread {
    std::string class_name;
    std::string entry;
    bool read_only = false;  // the class has the property, but only to get
  };
  std::vector<Unread> entries_unread;
};

void PrintText(const LoadOptions& options, const LoadResult& r, std::ostream& out) {
  out << "Rebuilt " << FileLabel(options.file) << " with the server " << options.server << ": "
      << r.graph.size() << (r.graph.size() == 1 ? " object" : " objects") << ".\n";
  for (std::size_t id = 0; id < r.graph.size(); ++id) {
    const ShownObject& o = r.graph[id];
    out << "\n#" << id << " " << o.class_name << '\n';
    for (const auto& p : o.properties) {
      out << "  " << p.name << " = " << p.value;
      if (!p.refs.empty()) {
        out << " ->";
        for (const std::size_t ref : p.refs) out << " #" << ref;
      }
      out << '\n';
    }
  }
  if (r.problems.empty() && r.classes_not_made.empty() && r.entries_unread.empty()) {
    out << "\nEverything in the Stream was restored.\n";
    return;
  }
  out << "\nNot restored:\n";
  for (const auto& c : r.classes_not_made) {
    out << "  class " << c << ": " << options.server << " cannot make it\n";
  }
  for (const auto& p : r.problems) {
    out << "  " << p.where << ": not made (error " << p.error << ")\n";
  }
  for (const auto& u : r.entries_unread) {
    out << "  " << u.class_name << " entry " << EscapeForTerminal(u.entry, true)
        << ": left unread (" << (u.read_only ? "a read-only property" : "no property to restore it")
        << ")\n";
  }
}

void PrintJson(const LoadOptions& options, const LoadResult& r, std::ostream& out) {
  JsonWriter json(out);
  json.BeginObject();
  json.Field("file", options.file);
  json.Field("server", options.server);
  json.Key("objects");
  json.BeginArray();
  for (std::size_t id = 0; id < r.graph.size(); ++id) {
    json.BeginObject();
    json.Field("id", static_cast<std::uint64_t>(id));
    json.Field("class", r.graph[id].class_name);
    json.Key("properties");
    json.BeginArray();
    for (const auto& p : r.graph[id].properties) {
      json.BeginObject();
      json.Field("name", p.name);
      json.Field("value", p.value);
      if (!p.refs.empty()) {
        json.Key("objects");
        json.BeginArray();
        for (const std::size_t ref : p.refs) json.UInt(ref);
        json.EndArray();
      }
      json.EndObject();
    }
    json.EndArray();
    json.EndObject();
  }
  json.EndArray();
  json.Key("classes_not_made");
  json.BeginArray();
  for (const auto& c : r.classes_not_made) json.String(c);
  json.EndArray();
  json.Key("objects_not_made");
  json.BeginArray();
  for (const auto& p : r.problems) {
    json.BeginObject();
    json.Field("where", p.where);
    json.Field("error", static_cast<std::int32_t>(p.error));
    json.EndObject();
  }
  json.EndArray();
  json.Key("entries_unread");
  json.BeginArray();
  for (const auto& u : r.entries_unread) {
    json.BeginObject();
    json.Field("class", u.class_name);
    json.Field("entry", u.entry);
    json.Field("read_only", u.read_only);
    json.EndObject();
  }
  json.EndArray();
  json.EndObject();
  out << '\n';
}

}  // namespace

int RunLoad(const LoadOptions& options, std::istream& in, std::ostream& out, std::ostream& err) {
  const std::optional<SafeArray> stream = ReadStreamInput(options.file, in, err);
  if (!stream) return kExitNo;

  // A registry of the command's own: the server comes from its library alone,
  // found in --server-path first, then as any program finds it.
  ClassRegistry registry;
  if (!options.server_path.empty()) {
    registry.AddServerProvider(std::make_shared<ServerLibraryProvider>(
        std::vector<std::filesystem::path>{options.server_path}));
  }
  registry.AddServerProvider(SharedServerLibraries());
  try {
    registry.RequireServer(options.server);
  } catch (const AutomationError& e) {
    err << "replikon: cannot load the server " << options.server << ": error " << e.Number() << ": "
        << e.Description() << '\n';
    if (!e.Details().empty()) err << e.Details() << '\n';
    return kExitNo;
  }

  Replikon control(nullptr, registry);
  control.SetObjectServerName(options.server);
  LoadResult result;

  // First with every subobject problem reported, to tell what was not made;
  // then, when there were any, without them, to rebuild what can be.
  ObjectRef root;
  control.SetRaiseRecursionCheckEvent(true);
  const auto handler = control.AddRecursionCheckHandler([&](RecursionCheckArgs& args) {
    if (args.error_status == 0) return;
    // The object whose property could not be filled, and the property.
    std::string where = args.current_object != nullptr ? ClassNameOf(args.current_object) : "";
    if (!args.current_object_property.empty()) where += "." + args.current_object_property;
    result.problems.push_back({where.empty() ? "(the root object)" : where, args.error_status});
  });
  try {
    root = control.ObjectFromStream(*stream);
  } catch (const AutomationError&) {
    control.RemoveRecursionCheckHandler(handler);
    control.SetProblemsNotification(ProblemsNotificationConstants::SourceObjectOnly);
    try {
      root = control.ObjectFromStream(*stream);
    } catch (const AutomationError& e) {
      err << "replikon: " << FileLabel(options.file) << " cannot be rebuilt with the server "
          << options.server << ": error " << e.Number() << ": " << e.Description() << '\n';
      return kExitNo;
    }
  }

  StreamContents contents;
  CollectContents(stream->ByteSpan(), 0, contents);
  for (const std::string& class_name : contents.classes) {
    const auto properties = PropertiesOf(registry, options.server + "." + class_name);
    if (!properties) {
      result.classes_not_made.push_back(class_name);
      continue;
    }
    for (const std::string& entry : contents.entries[class_name]) {
      if (!properties->restored.contains(entry)) {
        result.entries_unread.push_back({class_name, entry, properties->read_only.contains(entry)});
      }
    }
  }
  if (root != nullptr) result.graph = WalkGraph(root);

  if (options.json) {
    PrintJson(options, result, out);
  } else {
    PrintText(options, result, out);
  }
  return kExitOk;
}

}  // namespace replikon::cli
