// Comparing two object graphs property by property, late-bound: each object's
// members come from DescribeObject and each value from InvokeByName, so any
// class of any server can be compared without knowing it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "replikon/automation/object_ref.hpp"
#include "replikon/automation/registry.hpp"
#include "replikon/automation/variant.hpp"

namespace replikon::cli {

// Why two values differ, as far as the comparison can tell.
enum class DifferenceKind {
  Value,               // two values (or two arrays) that are not equal
  NullNotKept,         // the original holds Null, the other something else
  ExternalMissing,     // an object of a class the server cannot create is missing
  BackPointerMissing,  // a reference to an object on its own path (a cycle) is missing
  ObjectMissing,       // any other object that is missing (Nothing or Empty instead)
  ObjectBecameValue,   // an object where the other holds a value (Empty, ...)
  ArrayObjectsLost,    // an array whose object elements are missing
  ClassDiffers,        // two objects of different classes, or one where Nothing was
  Unreadable,          // the property can be read on one side only
};

struct PropertyDifference {
  // "Invoice.Buyer.Address.City", "Invoice.Lines(1)"; a path of more than 17
  // steps shows its first 4 and last 12 with the count of those between.
  std::string path;
  DifferenceKind kind = DifferenceKind::Value;
  std::string original;  // the values, as text
  std::string other;
  std::string class_name;         // ExternalMissing: the external object's class
  bool read_only = false;         // the property has no let or set member
  bool declared_variant = false;  // the property is declared as Variant
};

// Something equal that is worth knowing.
struct ComparisonNote {
  std::string path;
  std::string text;
};

struct GraphComparison {
  std::size_t objects = 0;     // pairs of objects compared
  std::size_t properties = 0;  // properties compared
  std::vector<PropertyDifference> differences;
  std::vector<ComparisonNote> notes;      // shared objects, kept back-pointers
  std::vector<std::string> not_compared;  // "Invoice.Note (takes arguments)"
};

// Compares `other` with `original`: every readable property of every object
// reachable from `original` through object properties and arrays. A subobject
// that is the very same object on both sides is not walked again (it is noted
// as shared); a reference to an object on its own path (a cycle) must point
// to the corresponding object of `other`. `registry` and `server_name` tell
// external objects (classes that "server_name.Class" does not create).
// Never throws for anything the objects do; the walk uses no deep recursion.
GraphComparison CompareGraphs(const ObjectRef& original, const ObjectRef& other,
                              const ClassRegistry& registry, std::string_view server_name);

struct GraphStats {
  std::size_t objects = 0;     // distinct objects reachable from the root
  std::size_t properties = 0;  // readable properties of those objects
};

// Counts the objects reachable from `root` through object properties and
// object elements of arrays, each once. Never throws for anything the objects do.
GraphStats CountGraph(const ObjectRef& root);

// A value as text for people: strings quoted, objects as [Class] or Nothing,
// arrays with their bounds and first elements.
std::string ValueText(const Variant& value);

}  // namespace replikon::cli
