// The extension module replikon._replikon.
#include <pybind11/pybind11.h>

#include "bindings.hpp"
#include "values.hpp"

#ifdef REPLIKON_PYTHON_SAMPLE_SERVER
#include "orders/orders_server.hpp"
#endif

PYBIND11_MODULE(_replikon, m) {
  replikon::python::Bind(m);
#ifdef REPLIKON_PYTHON_SAMPLE_SERVER
  // The tests' build only: the sample order-book server, in this module's registry.
  m.def("_register_sample_server", [] { orders::RegisterOrdersServer(); });
  m.def("_sample_invoice", [](bool link_parents) -> pybind11::object {
    return replikon::python::FromObject(
        orders::MakeSampleInvoice(replikon::ClassRegistry::Global(), link_parents));
  });
#endif
}
