// The extension module replikon._replikon.
#include <pybind11/pybind11.h>

#include "bindings.hpp"
#include "values.hpp"

#ifdef REPLIKON_PYTHON_SAMPLE_SERVER
#include <cstdint>
#include <string>
#include <vector>

#include "orders/orders_server.hpp"
#include "replikon/server.hpp"

namespace {

// Typed array members of every kind a C++ class declares them with.
struct Typed {
  std::vector<std::int32_t> numbers;
  std::vector<std::string> names;
  std::vector<double> ratios;
  std::vector<replikon::ObjectRef> items;
  replikon::SafeArray longs{replikon::VarType::I4};
};

void RegisterTypedServer() {
  replikon::Server server("TypedLib");
  server.Class<Typed>("Typed")
      .Property("Numbers", &Typed::numbers)
      .Property("Names", &Typed::names)
      .Property("Ratios", &Typed::ratios)
      .Property("Items", &Typed::items)
      .ArrayProperty("Longs", &Typed::longs, replikon::VarType::I4);
  replikon::ClassRegistry::Global().Register(server);
}

}  // namespace
#endif

PYBIND11_MODULE(_replikon, m) {
  replikon::python::Bind(m);
#ifdef REPLIKON_PYTHON_SAMPLE_SERVER
  // The tests' build only: the sample order-book server, in this module's registry.
  m.def("_register_sample_server", [] {
    orders::RegisterOrdersServer();
    RegisterTypedServer();
  });
  m.def("_sample_invoice", [](bool link_parents) -> pybind11::object {
    return replikon::python::FromObject(
        orders::MakeSampleInvoice(replikon::ClassRegistry::Global(), link_parents));
  });
#endif
}
