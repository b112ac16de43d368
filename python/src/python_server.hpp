// Python classes as an object server: a module's classes marked with
// replikon.persistent, registered as a server named after the module.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "replikon/server.hpp"

namespace replikon::python {

namespace py = pybind11;

// The Python object behind an automation object of a Python class.
struct PythonObject {
  py::object self;
};

// Python modules become servers through a provider of the class registry,
// asked only for a server that is not registered: an imported module (never
// one imported for the purpose) serving the classes defined in it and marked
// replikon.persistent, as they are when it is supplied.
//
// Unregisters the server `server_name` when it was supplied from a module
// whose persistent classes have changed since (reloaded, redefined, gone), so
// that it is supplied afresh when next needed.
void RefreshPythonServer(const std::string& server_name);

// The automation object for an instance of a registered Python class (the
// same one for the same Python object within one processing call), or a
// null reference for any other value.
ObjectRef WrapPersistent(py::handle value);

// For the duration of one processing call: a Python object reached twice is
// wrapped once, and an object of a persistent class of the module
// `server_name` (the call's ObjectServerName) is wrapped even before that
// module is supplied as a server; objects of other modules' classes only
// once theirs is.
class WrapScope {
 public:
  explicit WrapScope(const std::string& server_name);
  ~WrapScope();
  WrapScope(const WrapScope&) = delete;
  WrapScope& operator=(const WrapScope&) = delete;
};

// Removes the provider, unregisters the Python servers and lets go of their
// classes (at exit, while the interpreter still runs).
void UnregisterPythonServers();

// Adds the provider of Python servers; binds their helpers.
void BindPythonServers(py::module_& m);

}  // namespace replikon::python
