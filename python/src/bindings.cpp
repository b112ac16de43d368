#include "bindings.hpp"

#include <pybind11/functional.h>
#include <pybind11/stl.h>

#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "python_server.hpp"
#include "replikon/replikon.hpp"
#include "values.hpp"

namespace replikon::python {

namespace {

// The arguments of one RecursionCheck event as the handler sees them; Cancel
// goes back to the component when the handler returns.
struct RecursionCheckEvent {
  ObjectRef root_object;
  ObjectRef parent_object;
  ObjectRef current_object;
  std::string current_object_property;
  std::int16_t error_status = 0;
  bool cancel = false;
};

// replikon.Replikon: the component and the Python handlers of its event.
//
// The interpreter lock is held through every call: the engines call the
// handlers, and the objects' members may be Python code.
class Component {
 public:
  Component() : control_(std::make_unique<Replikon>()) {}
  Component(const Component&) = delete;
  Component& operator=(const Component&) = delete;
  ~Component() {
    // The handlers hold Python callables: gone with the component, under the
    // lock that pybind11 holds while it destroys the Python object.
    control_.reset();
  }

  Replikon& Control() { return *control_; }

  // Before a processing call: the server that ObjectServerName names, when it
  // was supplied from a Python module, made again if its classes have changed;
  // and a table in which each Python object is wrapped once.
  WrapScope BeginCall() {
    RefreshPythonServer(control_->ObjectServerName());
    return WrapScope(control_->ObjectServerName());
  }

  py::object AddHandler(py::function handler) {
    const Replikon::HandlerId id =
        control_->AddRecursionCheckHandler([handler](RecursionCheckArgs& args) {
          const py::gil_scoped_acquire gil;
          RecursionCheckEvent event{args.root_object,    args.parent_object,
                                    args.current_object, args.current_object_property,
                                    args.error_status,   args.cancel};
          py::object seen = py::cast(std::move(event));
          handler(seen);
          args.cancel = seen.cast<const RecursionCheckEvent&>().cancel;
        });
    handlers_.emplace_back(id, handler);
    return handler;
  }

  // Removes the handler added last as `handler`; false when it is not there.
  bool RemoveHandler(py::handle handler) {
    for (auto it = handlers_.rbegin(); it != handlers_.rend(); ++it) {
      if (it->second.is(handler)) {
        control_->RemoveRecursionCheckHandler(it->first);
        handlers_.erase(std::next(it).base());
        return true;
      }
    }
    return false;
  }

 private:
  std::unique_ptr<Replikon> control_;
  std::vector<std::pair<Replikon::HandlerId, py::object>> handlers_;
};

PyObject* g_automation_error = nullptr;  // replikon.AutomationError, set once at import

void RaiseInPython(const AutomationError& error) {
  py::object type = py::reinterpret_borrow<py::object>(g_automation_error);
  py::object instance = type(py::str(error.what()));
  instance.attr("number") = error.Number();
  instance.attr("description") = error.Description();
  instance.attr("help_file") = error.HelpFile();
  instance.attr("help_context") = error.HelpContext();
  instance.attr("source") = error.Source();
  instance.attr("details") =
      py::cast(std::vector<std::string>(error.DetailList().begin(), error.DetailList().end()));
  PyErr_SetObject(g_automation_error, instance.ptr());
}

// A setting read and written under its Python name and under the component's own.
template <class Class, class Getter, class Setter>
void Setting(Class& cls, const char* name, const char* own_name, Getter get, Setter set,
             const char* doc) {
  cls.def_property(name, get, set, doc);
  cls.def_property(own_name, get, set, doc);
}

// A method under its Python name and the component's own.
template <class Class, class Function, class... Extra>
void Method(Class& cls, const char* name, const char* own_name, Function f, const Extra&... extra) {
  cls.def(name, f, extra...);
  cls.def(own_name, f, extra...);
}

void BindComponent(py::module_& m) {
  py::class_<RecursionCheckEvent> event(
      m, "RecursionCheckEvent",
      "The arguments of one RecursionCheck event; setting cancel stops the call.");
  const auto object_of = [](ObjectRef RecursionCheckEvent::*field) {
    return [field](const RecursionCheckEvent& e) { return FromObject(e.*field); };
  };
  for (const auto& [name, own, field] :
       {std::tuple{"root_object", "RootObject", &RecursionCheckEvent::root_object},
        std::tuple{"parent_object", "ParentObject", &RecursionCheckEvent::parent_object},
        std::tuple{"current_object", "CurrentObject", &RecursionCheckEvent::current_object}}) {
    event.def_property_readonly(name, object_of(field));
    event.def_property_readonly(own, object_of(field));
  }
  event.def_readonly("current_object_property", &RecursionCheckEvent::current_object_property)
      .def_readonly("CurrentObjectProperty", &RecursionCheckEvent::current_object_property)
      .def_readonly("error_status", &RecursionCheckEvent::error_status)
      .def_readonly("ErrorStatus", &RecursionCheckEvent::error_status)
      .def_readwrite("cancel", &RecursionCheckEvent::cancel)
      .def_readwrite("Cancel", &RecursionCheckEvent::cancel);

  py::class_<Component> cls(m, "Replikon",
                            "The component: deep copies and Streams of automation objects.");
  cls.def(py::init<>());

  Setting(
      cls, "recursion_allowed", "RecursionAllowed",
      [](Component& c) { return c.Control().RecursionAllowed(); },
      [](Component& c, bool v) { c.Control().SetRecursionAllowed(v); },
      "Whether an object may hold itself among its subobjects.");
  Setting(
      cls, "raise_recursion_check_event", "RaiseRecursionCheckEvent",
      [](Component& c) { return c.Control().RaiseRecursionCheckEvent(); },
      [](Component& c, bool v) { c.Control().SetRaiseRecursionCheckEvent(v); },
      "Whether the RecursionCheck event is raised.");
  Setting(
      cls, "object_server_name", "ObjectServerName",
      [](Component& c) { return c.Control().ObjectServerName(); },
      [](Component& c, const std::string& v) { c.Control().SetObjectServerName(v); },
      "The server whose classes the component creates.");
  Setting(
      cls, "problems_notification", "ProblemsNotification",
      [](Component& c) { return static_cast<int>(c.Control().ProblemsNotification()); },
      [](Component& c, std::int32_t v) { c.Control().SetProblemsNotification(v); },
      "0: only problems of the source object raise; 1: problems of subobjects too.");
  Setting(
      cls, "set_external_references", "SetExternalReferences",
      [](Component& c) { return c.Control().SetExternalReferences(); },
      [](Component& c, bool v) { c.Control().SetSetExternalReferences(v); },
      "Whether objects of other servers are referred to rather than left out.");
  Setting(
      cls, "preserve_identity", "PreserveIdentity",
      [](Component& c) { return c.Control().PreserveIdentity(); },
      [](Component& c, bool v) { c.Control().SetPreserveIdentity(v); },
      "Whether an object reached twice stays one object (whole graphs).");
  Setting(
      cls, "max_objects", "MaxObjects", [](Component& c) { return c.Control().MaxObjects(); },
      [](Component& c, std::int32_t v) { c.Control().SetMaxObjects(v); },
      "The most objects one call takes (0: no limit).");
  Setting(
      cls, "max_depth", "MaxDepth", [](Component& c) { return c.Control().MaxDepth(); },
      [](Component& c, std::int32_t v) { c.Control().SetMaxDepth(v); },
      "The most levels one call goes deep (0: no limit).");

  Method(
      cls, "copy", "Copy",
      [](Component& c, py::handle source) {
        const WrapScope scope = c.BeginCall();
        return FromObject(c.Control().Copy(ToObject(source, "Copy")));
      },
      py::arg("source_object"), "A deep copy of the object.");
  Method(
      cls, "stream_from_object", "StreamFromObject",
      [](Component& c, py::handle source) {
        const WrapScope scope = c.BeginCall();
        return FromByteArray(c.Control().StreamFromObject(ToObject(source, "StreamFromObject")));
      },
      py::arg("source_object"), "The object and its subobjects as a Stream (bytes).");
  Method(
      cls, "object_from_stream", "ObjectFromStream",
      [](Component& c, py::handle stream) {
        const WrapScope scope = c.BeginCall();
        return FromObject(c.Control().ObjectFromStream(ToByteArray(stream, "ObjectFromStream")));
      },
      py::arg("stream"), "The object a Stream holds; the Stream is any bytes-like object.");
  Method(
      cls, "object_type_name", "ObjectTypeName",
      [](Component& c, py::handle stream) {
        if (!PyObject_CheckBuffer(stream.ptr())) return std::string();
        return c.Control().ObjectTypeName(ToByteArray(stream, "ObjectTypeName"));
      },
      py::arg("stream"), "The class name of the Stream's root object ('' for no Stream).");
  Method(
      cls, "is_stream", "IsStream",
      [](Component& c, py::handle bytes) {
        return PyObject_CheckBuffer(bytes.ptr()) &&
               c.Control().IsStream(ToByteArray(bytes, "IsStream"));
      },
      py::arg("byte_array"), "Whether the bytes are a Stream.");
  Method(
      cls, "stream_to_file", "StreamToFile",
      [](Component& c, py::handle stream, py::handle path) {
        c.Control().StreamToFile(ToByteArray(stream, "StreamToFile"),
                                 py::str(py::module_::import("os").attr("fspath")(path)));
      },
      py::arg("stream"), py::arg("file_path"), "Writes a Stream to a file.");
  Method(
      cls, "stream_from_file", "StreamFromFile",
      [](Component& c, py::handle path) {
        return FromByteArray(
            c.Control().StreamFromFile(py::str(py::module_::import("os").attr("fspath")(path))));
      },
      py::arg("file_path"), "The Stream a file holds, as bytes.");
  Method(
      cls, "show_about_box", "ShowAboutBox", [](Component& c) { c.Control().ShowAboutBox(); },
      "Shows the About box.");

  cls.def("on_recursion_check", &Component::AddHandler, py::arg("handler"),
          "Calls handler(event) at every RecursionCheck event; returns the handler, so that it "
          "serves as a decorator.");
  cls.def("remove_recursion_check", &Component::RemoveHandler, py::arg("handler"),
          "Removes a handler added with on_recursion_check; False when it was not there.");
}

}  // namespace

void Bind(py::module_& m) {
  g_automation_error = PyErr_NewExceptionWithDoc(
      "replikon.AutomationError",
      "An automation error: number, description, help_file, help_context, source, and "
      "details (a list of lines saying where and why).",
      PyExc_Exception, nullptr);
  if (g_automation_error == nullptr) throw py::error_already_set();
  m.add_object("AutomationError", py::handle(g_automation_error));
  py::register_exception_translator([](std::exception_ptr error) {
    try {
      if (error) std::rethrow_exception(error);
    } catch (const AutomationError& e) {
      RaiseInPython(e);
    }
  });

  BindObject(m);
  BindComponent(m);
  BindPythonServers(m);

  m.def(
      "create", [](const std::string& prog_id) { return FromObject(CreateByProgId(prog_id)); },
      py::arg("prog_id"), "A new object of a registered class, by \"Server.Class\".");
  m.def(
      "class_name", [](py::handle object) { return ClassNameOf(ToObject(object, "class_name")); },
      py::arg("object"), "The class name of an object (\"Nothing\" for None).");
  m.attr("__version__") = std::string(kVersionString);
}

}  // namespace replikon::python
