// The module's contents: the component, objects, values and errors.
#pragma once

#include <pybind11/pybind11.h>

namespace replikon::python {

// Adds everything the module `replikon._replikon` holds to `m`.
void Bind(pybind11::module_& m);

}  // namespace replikon::python
