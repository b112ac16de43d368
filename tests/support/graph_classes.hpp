// A small document model for the graph cases, registered in a registry of the
// test's own: a document (server "Lib") holds its sections in an object array
// and anything at all in Variants; a section links back to its document
// weakly and may name an owner (counted) and its neighbours. "Ext.Gizmo" is a
// class the component cannot create.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "replikon/server.hpp"

namespace replikon::testing {

struct Doc {
  std::string title;
  SafeArray sections{VarType::Dispatch};
  Variant items;
  ObjectRef main;
  ObjectRef extra;
  SafeArray grid{VarType::Variant};
};

struct Section {
  std::string title;
  std::int32_t number = 0;
  WeakObjectRef parent;
  ObjectRef owner;  // counted: a test that links it back breaks the cycle itself
  ObjectRef next;
  WeakObjectRef prev;
};

struct Gizmo {
  std::string label;
};

// Objects first met where a reader does not put them back.
struct Holder {
  ObjectRef fixed;  // read-only
  Variant any;      // a Variant property: holds an object only as it is
  ObjectRef first;
  ObjectRef second;
};

class GraphClasses {
 public:
  GraphClasses() : lib_("Lib"), ext_("Ext") {
    lib_.Class<Doc>("Doc")
        .Property("Title", &Doc::title)
        .ArrayProperty("Sections", &Doc::sections, VarType::Dispatch)
        .Property("Items", &Doc::items)
        .Property("Main", &Doc::main)
        .Property("Extra", &Doc::extra)
        .ArrayProperty("Grid", &Doc::grid, VarType::Variant);
    lib_.Class<Section>("Section")
        .Property("Title", &Section::title)
        .Property("Number", &Section::number)
        .WeakProperty("Parent", &Section::parent)
        .Property("Owner", &Section::owner)
        .Property("Next", &Section::next)
        .WeakProperty("Prev", &Section::prev);
    lib_.Class<Holder>("Holder")
        .ReadOnly("Fixed", &Holder::fixed)
        .Property("Any", &Holder::any)
        .Property("First", &Holder::first)
        .Property("Second", &Holder::second);
    ext_.Class<Gizmo>("Gizmo").Property("Label", &Gizmo::label);
    registry_.Register(lib_);
    registry_.Register(ext_);
  }

  ClassRegistry& Registry() { return registry_; }
  std::int64_t Live() const {
    std::int64_t live = 0;
    for (const char* id : {"Lib.Doc", "Lib.Section", "Lib.Holder", "Ext.Gizmo"}) {
      live += registry_.LiveInstances(id);
    }
    return live;
  }

  ObjectRef NewDoc(std::string title) {
    ObjectRef o = registry_.CreateByProgId("Lib.Doc");
    o.As<Doc>()->title = std::move(title);
    return o;
  }
  ObjectRef NewSection(std::string title, const ObjectRef& parent = {}, std::int32_t number = 0) {
    ObjectRef o = registry_.CreateByProgId("Lib.Section");
    o.As<Section>()->title = std::move(title);
    o.As<Section>()->parent = parent;
    o.As<Section>()->number = number;
    return o;
  }
  ObjectRef NewGizmo(std::string label) {
    ObjectRef o = registry_.CreateByProgId("Ext.Gizmo");
    o.As<Gizmo>()->label = std::move(label);
    return o;
  }

 private:
  ClassRegistry registry_;
  Server lib_;
  Server ext_;
};

inline Doc& D(const ObjectRef& o) {
  return *o.As<Doc>();
}
inline Section& S(const ObjectRef& o) {
  return *o.As<Section>();
}

// A one-dimensional object array from `lower`.
inline SafeArray Objects(std::int32_t lower, const std::vector<ObjectRef>& objects) {
  SafeArray a(VarType::Dispatch,
              {ArrayBound{lower, lower + static_cast<std::int32_t>(objects.size()) - 1}});
  for (std::size_t i = 0; i < objects.size(); ++i) a.SetFlatRef(i, objects[i]);
  return a;
}

}  // namespace replikon::testing
