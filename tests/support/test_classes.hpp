// Small automation classes for the component, factory and copy tests, registered
// in a registry of the test's own: server "Lib" (the component's server) and
// server "Ext" (classes the component cannot create: external objects).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>

#include "replikon/server.hpp"

namespace replikon::testing {

struct Counters {
  std::atomic<int> initialised{0};
  std::atomic<int> terminated{0};
};

struct Node {
  std::string name;
  std::int32_t value = 0;
  SafeArray items{VarType::I4};
  Variant data;
  std::int32_t id = 0;  // read-only: given by the class's initialisation
  ObjectRef child;
  ObjectRef next;
  // Bookkeeping of the class's own code.
  int name_reads = 0;
  int default_reads = 0;
  int default_writes = 0;
  int method_calls = 0;
  std::string child_name_when_set;  // the child's Name at the moment Child was set
};

// Initialised with a Leaf in its Slot, so that leaving Slot alone shows.
struct Box {
  ObjectRef slot;
  std::int32_t broken = 7;  // its getter fails in every source
};

struct Leaf {
  std::string tag = "fresh";
};

struct Gadget {
  std::string label;
};

class TestClasses {
 public:
  TestClasses() : lib_("Lib"), ext_("Ext") {
    auto counters = counters_;
    ClassRegistry* reg = &registry_;
    lib_.Class<Node>("Node")
        .Get("Name", VarType::BStr,
             [](Node& n) {
               ++n.name_reads;
               return n.name;
             })
        .Let("Name", VarType::BStr, [](Node& n, const Variant& v) { n.name = v.String(); })
        .Property("Value", &Node::value)
        .ArrayProperty("Items", &Node::items, VarType::I4)
        .Property("Data", &Node::data)
        .ReadOnly("Id", &Node::id)
        .Get("_Default", VarType::I4, [](Node& n) { return ++n.default_reads; })
        .Let("_Default", VarType::I4, [](Node& n, const Variant&) { ++n.default_writes; })
        .Hidden()
        .Get("Indexed", VarType::I4,
             [](Node& n, std::span<const Variant> args) { return n.value + ToI4(args[0]); },
             {ParamDescription{"Index", VarType::I4}})
        .Let("Indexed", VarType::I4, [](Node&, std::span<const Variant>) {},
             {ParamDescription{"Index", VarType::I4}})
        .Get("Child", VarType::Dispatch, [](Node& n) { return n.child; })
        .Set("Child",
             [](Node& n, const ObjectRef& o) {
               n.child = o;
               const Node* c = o.As<Node>();
               n.child_name_when_set = c != nullptr ? c->name : "";
             })
        .Property("Next", &Node::next)
        .Method("Touch", [](Node& n, std::span<const Variant>) { ++n.method_calls; })
        .OnInitialize([counters](Node& n) { n.id = ++counters->initialised; })
        .OnTerminate([counters](Node&) { ++counters->terminated; });
    lib_.Class<Box>("Box")
        .Get("Broken", VarType::I4,
             [](Box& b) -> std::int32_t {
               if (b.broken >= 0) errors::Raise(errors::kInvalidProcedureCall);
               return b.broken;
             })
        .Let("Broken", VarType::I4, [](Box& b, const Variant& v) { b.broken = ToI4(v); })
        .Property("Slot", &Box::slot)
        .OnInitialize([reg](Box& b) { b.slot = reg->CreateByProgId("Lib.Leaf"); });
    lib_.Class<Leaf>("Leaf").Property("Tag", &Leaf::tag);
    // Made under one name, reports another.
    lib_.Class<Leaf>("Impostor").Property("Tag", &Leaf::tag).ReportsClassName("Leaf2");
    lib_.Class<Leaf>("Failing").OnInitialize(
        [](Leaf&) { throw std::runtime_error("initialisation fails"); });
    ext_.Class<Gadget>("Gadget").Property("Label", &Gadget::label);
    registry_.Register(lib_);
    registry_.Register(ext_);
  }

  ClassRegistry& Registry() { return registry_; }
  Counters& Count() { return *counters_; }
  std::int64_t Live(const char* prog_id) const { return registry_.LiveInstances(prog_id); }
  std::int64_t LiveNodes() const { return Live("Lib.Node"); }

  ObjectRef NewNode(std::string name, std::int32_t value = 0) {
    ObjectRef o = registry_.CreateByProgId("Lib.Node");
    o.As<Node>()->name = std::move(name);
    o.As<Node>()->value = value;
    return o;
  }
  ObjectRef NewGadget(std::string label) {
    ObjectRef o = registry_.CreateByProgId("Ext.Gadget");
    o.As<Gadget>()->label = std::move(label);
    return o;
  }

 private:
  std::shared_ptr<Counters> counters_ = std::make_shared<Counters>();
  ClassRegistry registry_;
  Server lib_;
  Server ext_;
};

inline Node& N(const ObjectRef& o) {
  return *o.As<Node>();
}

// One RecursionCheck as a handler saw it.
struct Seen {
  ObjectRef root, parent, current;
  std::string property;
  bool cancel_on_entry;
  std::int16_t error_status;
};

}  // namespace replikon::testing
