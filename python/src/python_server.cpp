#include "python_server.hpp"

#include <pybind11/stl.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "values.hpp"

namespace replikon::python {

namespace {

// A Python class registered as an automation class.
struct PythonClass {
  PythonClass(py::object c, std::string id) : cls(std::move(c)), prog_id(std::move(id)) {}
  PythonClass(const PythonClass&) = delete;
  PythonClass& operator=(const PythonClass&) = delete;
  // Outside the interpreter's lifetime (process exit) the class is left to
  // the end of the process rather than released.
  ~PythonClass() {
    if (Py_IsInitialized() == 0 || PyGILState_Check() == 0) cls.release();
  }
  py::object cls;
  std::string prog_id;
  // The definition registered for it, found once registered.
  std::shared_ptr<const ClassDefinition> definition;
};

// One member: read with getattr; written with setattr unless read-only;
// `holds_objects` when its annotation names a persistent class.
struct PythonMember {
  std::string name;
  bool writable = true;
  bool holds_objects = false;
};

// All state below is touched only with the interpreter lock held.
struct Servers {
  // server name -> the classes registered for it
  std::map<std::string, std::vector<std::shared_ptr<PythonClass>>> by_server;
  // the class object -> the class, for wrapping Python objects (kept alive by
  // PythonClass::cls)
  std::unordered_map<PyObject*, std::shared_ptr<PythonClass>> by_type;
};

// Emptied at exit (UnregisterPythonServers), while the interpreter still runs.
Servers& State() {
  static Servers servers;
  return servers;
}

thread_local PyObject* t_adopt = nullptr;  // the object a creation wraps instead of making one
// The objects wrapped in the processing call under way on this thread.
thread_local std::unordered_map<PyObject*, ObjectRef> t_table;
thread_local std::unordered_map<PyObject*, ObjectRef>* t_wrapped = nullptr;
thread_local int t_scopes = 0;
// The ObjectServerName of the processing call under way on this thread.
thread_local std::string t_call_server;

bool IsPersistentClass(py::handle candidate) {
  // A class's own namespace (a mapping proxy): the mark is not inherited.
  return PyType_Check(candidate.ptr()) &&
         candidate.attr("__dict__").contains("__replikon_persistent__");
}

// Whether an annotation names a persistent class (directly, by name, or inside
// Optional[...] and the like).
bool NamesPersistentClass(py::handle annotation, py::handle module) {
  if (IsPersistentClass(annotation)) return true;
  if (py::isinstance<py::str>(annotation)) {
    const py::object found = py::getattr(module, annotation, py::none());
    return IsPersistentClass(found);
  }
  if (py::hasattr(annotation, "__forward_arg__")) {  // Optional["Item"]
    return NamesPersistentClass(annotation.attr("__forward_arg__"), module);
  }
  const py::tuple args = py::module_::import("typing").attr("get_args")(annotation);
  for (py::handle arg : args) {
    if (NamesPersistentClass(arg, module)) return true;
  }
  return false;
}

// The members of a class, in order: dataclass fields, __slots__, properties,
// then the attributes a new instance has after __init__; no "_" names.
std::vector<PythonMember> MembersOf(py::handle cls, py::handle module) {
  std::vector<PythonMember> members;
  std::set<std::string> seen;
  py::dict annotations;
  const py::list mro = cls.attr("__mro__");
  for (auto it = mro.end(); it != mro.begin();) {
    --it;
    const py::object own = py::getattr(*it, "__dict__");
    if (own.contains("__annotations__")) {
      for (auto item : py::reinterpret_borrow<py::dict>(own["__annotations__"])) {
        annotations[item.first] = item.second;
      }
    }
  }
  const auto add = [&](const std::string& name, bool writable) {
    if (name.empty() || name[0] == '_' || !seen.insert(name).second) return;
    PythonMember member{name, writable, false};
    if (annotations.contains(name)) {
      member.holds_objects = NamesPersistentClass(annotations[py::str(name)], module);
    }
    members.push_back(std::move(member));
  };
  const py::module_ dataclasses = py::module_::import("dataclasses");
  if (dataclasses.attr("is_dataclass")(cls).cast<bool>()) {
    for (py::handle field : dataclasses.attr("fields")(cls)) {
      add(field.attr("name").cast<std::string>(), true);
    }
  }
  for (py::handle klass : mro) {
    const py::object slots = py::getattr(klass, "__dict__").attr("get")("__slots__");
    if (slots.is_none()) continue;
    if (py::isinstance<py::str>(slots)) {
      add(slots.cast<std::string>(), true);
    } else {
      for (py::handle slot : slots) add(py::str(slot).cast<std::string>(), true);
    }
  }
  for (const std::string& name :
       py::module_::import("builtins").attr("dir")(cls).cast<std::vector<std::string>>()) {
    const py::object attribute = py::module_::import("inspect").attr("getattr_static")(cls, name);
    if (py::isinstance(attribute, py::module_::import("builtins").attr("property"))) {
      add(name, !attribute.attr("fset").is_none());
    }
  }
  const py::object sample = cls();
  if (py::hasattr(sample, "__dict__")) {
    for (auto item : py::reinterpret_borrow<py::dict>(sample.attr("__dict__"))) {
      add(py::str(item.first).cast<std::string>(), true);
    }
  }
  return members;
}

// A member's name as an interned Python string, shared by the member's
// accessors. Released only while the interpreter runs and this thread holds
// its lock; otherwise (at process exit) left to the end of the process.
class MemberName {
 public:
  explicit MemberName(const std::string& text) : text_(text) {
    PyObject* key = PyUnicode_InternFromString(text.c_str());
    if (key == nullptr) throw py::error_already_set();
    key_ = key;
  }
  MemberName(const MemberName&) = delete;
  MemberName& operator=(const MemberName&) = delete;
  ~MemberName() {
    if (Py_IsInitialized() != 0 && PyGILState_Check() != 0) Py_DECREF(key_);
  }
  py::handle Key() const noexcept { return key_; }
  // self.<name>
  py::object Read(const py::object& self) const {
    auto value = py::reinterpret_steal<py::object>(PyObject_GetAttr(self.ptr(), key_));
    if (!value) throw py::error_already_set();
    return value;
  }
  // self.<name> = value
  void Write(const py::object& self, const py::object& value) const {
    if (PyObject_SetAttr(self.ptr(), key_, value.ptr()) != 0) throw py::error_already_set();
  }
  const char* Text() const noexcept { return text_.c_str(); }

 private:
  std::string text_;
  PyObject* key_ = nullptr;
};

ClassBuilder<PythonObject>& DefineClass(Server& server, const std::shared_ptr<PythonClass>& klass,
                                        const std::string& name,
                                        const std::vector<PythonMember>& members) {
  auto& builder = server.Class<PythonObject>(name);
  builder.OnInitialize([klass](PythonObject& object) {
    if (t_adopt != nullptr) {
      object.self = py::reinterpret_borrow<py::object>(t_adopt);
    } else {
      object.self = py::reinterpret_steal<py::object>(PyObject_CallNoArgs(klass->cls.ptr()));
      if (!object.self) throw py::error_already_set();
    }
  });
  for (const PythonMember& member : members) {
    const std::string& n = member.name;
    const auto key = std::make_shared<const MemberName>(n);
    if (member.holds_objects) {
      // Declared to hold objects of the server's classes: an object property.
      builder.Get(n, VarType::Dispatch, [key](PythonObject& object) -> Variant {
        return Variant(ToObject(key->Read(object.self), key->Text()));
      });
      if (member.writable) {
        builder.Set(n, [key](PythonObject& object, const ObjectRef& value) {
          key->Write(object.self, FromObject(value));
        });
      }
      continue;
    }
    builder.Get(n, VarType::Variant,
                [key](PythonObject& object) { return ToVariant(key->Read(object.self)); });
    if (!member.writable) continue;
    builder.Let(n, VarType::Variant, [key](PythonObject& object, const Variant& value) {
      key->Write(object.self, FromVariant(value));
    });
    builder.Set(n, [key](PythonObject& object, const ObjectRef& value) {
      key->Write(object.self, FromObject(value));
    });
  }
  return builder;
}

// The imported module `server_name` (never imported here), or None.
py::object ImportedModule(std::string_view server_name) {
  const py::dict modules = py::module_::import("sys").attr("modules");
  const py::str key(server_name.data(), server_name.size());
  if (!modules.contains(key)) return py::none();
  return modules[key];
}

// The classes a module serves: those defined in it (their __module__), bound
// under their own name, and marked persistent.
std::vector<std::pair<std::string, py::object>> PersistentClassesOf(
    py::handle module, const std::string& server_name) {
  std::vector<std::pair<std::string, py::object>> classes;
  const py::object namespace_dict = py::getattr(module, "__dict__", py::none());
  if (!py::isinstance<py::dict>(namespace_dict)) return classes;
  for (auto item : py::reinterpret_borrow<py::dict>(namespace_dict)) {
    const py::handle candidate = item.second;
    if (!IsPersistentClass(candidate)) continue;
    const std::string name = py::str(candidate.attr("__name__")).cast<std::string>();
    if (py::str(candidate.attr("__module__")).cast<std::string>() != server_name ||
        !py::isinstance<py::str>(item.first) || py::str(item.first).cast<std::string>() != name) {
      continue;
    }
    classes.emplace_back(name, py::reinterpret_borrow<py::object>(candidate));
  }
  return classes;
}

// Forgets the classes recorded for a server.
void Forget(Servers& state, const std::string& server_name) {
  const auto mine = state.by_server.find(server_name);
  if (mine == state.by_server.end()) return;
  for (const auto& old : mine->second) {
    state.by_type.erase(old->cls.ptr());
  }
  state.by_server.erase(mine);
}

// Supplies an imported Python module as a server when the registry misses
// it. Only on a thread that holds the interpreter lock: a thread of the
// program's own asking for a server never waits for the interpreter (which
// may itself wait for the registry).
class PythonServerProvider final : public ServerProvider {
 public:
  std::optional<Server> Supply(std::string_view server_name) override {
    if (Py_IsInitialized() == 0 || PyGILState_Check() == 0) return std::nullopt;
    const std::string name(server_name);
    const py::object module = ImportedModule(server_name);
    if (module.is_none()) return std::nullopt;  // a Stream never imports a module
    if (!PyModule_Check(module.ptr())) return std::nullopt;
    auto classes = PersistentClassesOf(module, name);
    if (classes.empty()) {
      throw AutomationError(
          errors::kCannotCreateObject, errors::StandardDescription(errors::kCannotCreateObject), {},
          0, {},
          "the Python module '" + name + "' defines no class marked with replikon.persistent");
    }
    Server server(name);
    std::vector<std::shared_ptr<PythonClass>> made;
    for (auto& [class_name, cls] : classes) {
      auto klass = std::make_shared<PythonClass>(cls, name + "." + class_name);
      DefineClass(server, klass, class_name, MembersOf(cls, module));
      made.push_back(std::move(klass));
    }
    Servers& state = State();
    Forget(state, name);
    for (const auto& klass : made) {
      state.by_type[klass->cls.ptr()] = klass;
    }
    state.by_server[name] = std::move(made);
    return server;
  }
};

// Set when the module is imported and reset at exit, both under the
// interpreter lock.
std::shared_ptr<PythonServerProvider>& Provider() {
  static std::shared_ptr<PythonServerProvider> provider;
  return provider;
}

}  // namespace

void RefreshPythonServer(const std::string& server_name) {
  Servers& state = State();
  const auto mine = state.by_server.find(server_name);
  if (mine == state.by_server.end()) return;
  const py::object module = ImportedModule(server_name);
  std::vector<std::pair<std::string, py::object>> classes;
  if (!module.is_none()) classes = PersistentClassesOf(module, server_name);
  bool same = mine->second.size() == classes.size();
  for (std::size_t i = 0; i < classes.size() && same; ++i) {
    same = mine->second[i]->cls.is(classes[i].second);
  }
  if (same) return;
  // Reloaded, changed or gone: supplied afresh when next needed.
  Forget(state, server_name);
  ClassRegistry::Global().Unregister(server_name);
}

ObjectRef WrapPersistent(py::handle value) {
  Servers& state = State();
  PyObject* const type = reinterpret_cast<PyObject*>(Py_TYPE(value.ptr()));
  auto found = state.by_type.find(type);
  if (found == state.by_type.end()) {
    // A persistent class of the call's module, not supplied yet: ask for it
    // (the module is imported, as its class exists).
    if (t_call_server.empty() || !IsPersistentClass(type)) return ObjectRef();
    const py::handle cls(type);
    const std::string module = py::str(cls.attr("__module__")).cast<std::string>();
    if (module != t_call_server) return ObjectRef();
    const std::string prog_id = module + "." + py::str(cls.attr("__name__")).cast<std::string>();
    if (ClassRegistry::Global().FindDefinition(prog_id) == nullptr) return ObjectRef();
    found = state.by_type.find(type);
    if (found == state.by_type.end()) return ObjectRef();
  }
  if (t_wrapped != nullptr) {
    const auto wrapped = t_wrapped->find(value.ptr());
    if (wrapped != t_wrapped->end()) return wrapped->second;
  }
  PythonClass& klass = *found->second;
  if (klass.definition == nullptr) {
    klass.definition = ClassRegistry::Global().FindDefinition(klass.prog_id);
    if (klass.definition == nullptr) return ObjectRef();
  }
  struct Adopt {
    explicit Adopt(PyObject* object) { t_adopt = object; }
    ~Adopt() { t_adopt = nullptr; }
  };
  ObjectRef object;
  {
    const Adopt adopt(value.ptr());
    object = ClassRegistry::Instantiate(*klass.definition);
  }
  if (t_wrapped != nullptr) t_wrapped->emplace(value.ptr(), object);
  return object;
}

WrapScope::WrapScope(const std::string& server_name) {
  if (t_scopes++ == 0) {
    t_wrapped = &t_table;
    t_call_server = server_name;
  }
}

WrapScope::~WrapScope() {
  if (--t_scopes == 0) {
    t_wrapped = nullptr;
    t_call_server.clear();
    std::unordered_map<PyObject*, ObjectRef> released;
    released.swap(t_table);
  }
}

void UnregisterPythonServers() {
  if (Provider() != nullptr) {
    ClassRegistry::Global().RemoveServerProvider(*Provider());
    Provider().reset();
  }
  Servers& state = State();
  for (const auto& [name, classes] : state.by_server) ClassRegistry::Global().Unregister(name);
  state.by_server.clear();
  state.by_type.clear();
}

void BindPythonServers(py::module_& m) {
  Provider() = std::make_shared<PythonServerProvider>();
  ClassRegistry::Global().AddServerProvider(Provider());
  m.def("_unregister_python_servers", &UnregisterPythonServers);
}

}  // namespace replikon::python
