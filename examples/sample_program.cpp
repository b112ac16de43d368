// A tour of late-bound access: register the order book server, create objects
// by programmatic identifier, list what their type information says, and read
// and write properties by name.
#include <cstdlib>
#include <iomanip>
#include <iostream>
#include <string>

#include "orders/orders_server.hpp"
#include "replikon/server.hpp"

namespace {

using replikon::AutomationError;
using replikon::InvokeKind;
using replikon::ObjectRef;
using replikon::Variant;

const char* KindName(InvokeKind kind) {
  switch (kind) {
    case InvokeKind::Function:
      return "method";
    case InvokeKind::PropertyGet:
      return "get";
    case InvokeKind::PropertyPut:
      return "let";
    case InvokeKind::PropertyPutRef:
      return "set";
  }
  return "?";
}

void Describe(const ObjectRef& object) {
  const auto iface = replikon::DescribeObject(object);
  std::cout << "Class " << replikon::ClassNameOf(object) << " (interface " << iface->Name() << "), "
            << iface->Members().size() << " entries:\n";
  for (const replikon::MemberDescription& m : iface->Members()) {
    const replikon::VarType type = m.PropertyType().VarType();
    std::cout << "  " << std::left << std::setw(14) << m.Name() << std::setw(7)
              << KindName(m.InvokeKind()) << std::setw(5) << replikon::Code(type) << ' '
              << (type == replikon::VarType::Empty ? "(none)" : replikon::TypeName(type));
    if (!m.Params().empty()) {
      std::cout << "  (";
      for (std::size_t i = 0; i < m.Params().size(); ++i) {
        const replikon::ParamDescription& p = m.Params()[i];
        std::cout << (i > 0 ? ", " : "") << (p.optional ? "[" : "") << p.name
                  << (p.optional ? "]" : "");
      }
      std::cout << ")";
    }
    if (m.Hidden()) std::cout << "  hidden";
    if (m.MemberId() == replikon::kDispIdValue) std::cout << "  default";
    std::cout << '\n';
  }
}

Variant Get(const ObjectRef& object, const char* name) {
  return replikon::InvokeByName(object, name, InvokeKind::PropertyGet);
}

void Let(const ObjectRef& object, const char* name, const Variant& value) {
  replikon::InvokeByName(object, name, InvokeKind::PropertyPut, {&value, 1});
}

void Set(const ObjectRef& object, const char* name, const ObjectRef& value) {
  const Variant v(value);
  replikon::InvokeByName(object, name, InvokeKind::PropertyPutRef, {&v, 1});
}

void Show(const ObjectRef& object, const char* name) {
  const Variant value = Get(object, name);
  std::cout << "  " << name << " = ";
  if (value.IsObject()) {
    std::cout << "<" << replikon::ClassNameOf(value) << ">";
  } else if (value.IsArray()) {
    std::cout << replikon::TypeName(value.Type()) << " of " << value.Array().Count()
              << " element(s)";
  } else {
    std::cout << replikon::DisplayText(value) << "  (" << replikon::TypeName(value.Type()) << ")";
  }
  std::cout << '\n';
}

}  // namespace

int main() {
  try {
    orders::RegisterOrdersServer();

    // Objects made by programmatic identifier, and wired up by name.
    ObjectRef invoice = replikon::CreateByProgId("OrdersLib.Invoice");
    ObjectRef buyer = replikon::CreateByProgId("OrdersLib.Client");
    Describe(invoice);

    std::cout << "\nAssigning by name:\n";
    Let(invoice, "Number", Variant("2024"));  // a string, converted to Long
    Let(invoice, "Shipping", Variant(12.75));
    Let(invoice, "Paid", Variant(true));
    Let(buyer, "Name", Variant("Northwind Traders"));
    Set(invoice, "Buyer", buyer);
    const Variant note_args[] = {Variant(std::int32_t{2}), Variant("Fragile goods")};
    replikon::InvokeByName(invoice, "Note", InvokeKind::PropertyPut, note_args);
    for (const char* name : {"Number", "Shipping", "Paid", "Buyer", "Status", "LineCount"}) {
      Show(invoice, name);
    }
    const Variant index(std::int32_t{2});
    std::cout << "  Note(2) = "
              << replikon::DisplayText(
                     replikon::InvokeByName(invoice, "Note", InvokeKind::PropertyGet, {&index, 1}))
              << '\n';

    std::cout << "\nA complete sample order:\n";
    ObjectRef sample = orders::MakeSampleInvoice();
    for (const char* name : {"Number", "Issued", "Buyer", "Lines", "Tags", "Carrier", "Total"}) {
      Show(sample, name);
    }
    const Variant verbose(true);
    std::cout << "  Summary(True) = "
              << replikon::DisplayText(
                     replikon::InvokeByName(sample, "Summary", InvokeKind::Function, {&verbose, 1}))
              << '\n';

    std::cout << "\nErrors are automation errors:\n";
    for (const char* prog_id : {"OrdersLib.Shipment", "OrdersLib.Archive"}) {
      try {
        replikon::CreateByProgId(prog_id);
      } catch (const AutomationError& e) {
        std::cout << "  CreateByProgId(\"" << prog_id << "\"): error " << e.Number() << ": "
                  << e.Description() << '\n';
      }
    }
    try {
      Let(invoice, "Status", Variant("Paid"));
    } catch (const AutomationError& e) {
      std::cout << "  Let Status (read-only): error " << e.Number() << ": " << e.Description()
                << '\n';
    }
    try {
      Let(invoice, "Number", Variant("many"));
    } catch (const AutomationError& e) {
      std::cout << "  Let Number = \"many\": error " << e.Number() << ": " << e.Description()
                << '\n';
    }
    std::cout << "  Class name of a null reference: " << replikon::ClassNameOf(ObjectRef()) << '\n';
    return EXIT_SUCCESS;
  } catch (const AutomationError& e) {
    std::cerr << "error " << e.Number() << ": " << e.Description() << '\n';
    return EXIT_FAILURE;
  }
}
