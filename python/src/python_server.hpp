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

// Registers the module `server_name` as a server when it is an imported
// module and not a C++ server, with its persistent classes as they are now.
// Imports nothing. Raises what registering raises.
void EnsurePythonServer(const std::string& server_name);

// The automation object for an instance of a registered Python class (the
// same one for the same Python object within one processing call), or a
// null reference for any other value.
ObjectRef WrapPersistent(py::handle value);

// For the duration of one processing call: a Python object reached twice is
// wrapped once.
class WrapScope {
 public:
  WrapScope();
  ~WrapScope();
  WrapScope(const WrapScope&) = delete;
  WrapScope& operator=(const WrapScope&) = delete;
};

// Unregisters the Python servers and lets go of their classes (at exit,
// while the interpreter still runs).
void UnregisterPythonServers();

// Binds replikon.persistent's helpers.
void BindPythonServers(py::module_& m);

}  // namespace replikon::python
