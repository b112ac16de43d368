// Values between Python and the automation layer, and the Python face of an
// automation object.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "replikon/server.hpp"

namespace replikon::python {

namespace py = pybind11;

// A Python reference to an automation object (replikon.Object): its members
// are read, written and called by name.
struct ObjectHandle {
  ObjectRef ref;
};

// The automation value of a Python value: bool, int (Long where it fits, else
// Decimal), float, str, bytes-like, datetime/date, decimal.Decimal, list and
// tuple (a Variant array from 0), replikon.Object, None (Empty). A value that
// has no automation type raises 13 "Type mismatch", one out of range 6
// "Overflow", each with details that name the value's Python type.
Variant ToVariant(py::handle value);
// The Python value of an automation value: Empty and Null give None, numbers
// int or float, Currency and Decimal decimal.Decimal, Date datetime.datetime,
// a byte array bytes, any other array a list (nested lists for more than one
// dimension), an object a replikon.Object (None for a null reference).
py::object FromVariant(const Variant& value);

// The object a Python value stands for: None gives a null reference; anything
// but a replikon.Object raises 424 "Object required".
ObjectRef ToObject(py::handle value, const char* where);
py::object FromObject(const ObjectRef& object);

// The bytes of any object with the buffer protocol as a byte array; 13 for
// an object without it.
SafeArray ToByteArray(py::handle value, const char* where);
py::bytes FromByteArray(const SafeArray& bytes);

// Binds replikon.Object.
void BindObject(py::module_& m);

}  // namespace replikon::python
