// The README's API tour, as a program that is built with the project (so the
// tour keeps compiling) and run by the tests.

#include <cstdint>
#include <cstdio>
#include <iostream>
#include <string>

#include "replikon/replikon.hpp"

// 1. A client's classes: plain C++ types...
struct Customer {
  std::string name;
  std::int32_t visits = 0;
};

struct Order {
  std::int32_t number = 0;
  replikon::Currency total;
  replikon::SafeArray items{replikon::VarType::BStr};
  replikon::ObjectRef customer;
};

int main() {
  using namespace replikon;

  // ...described once and registered as the server "ShopLib".
  Server shop("ShopLib");
  shop.Class<Customer>("Customer")
      .Property("Name", &Customer::name)
      .Property("Visits", &Customer::visits);
  shop.Class<Order>("Order")
      .Property("Number", &Order::number)
      .Property("Total", &Order::total)
      .ArrayProperty("Items", &Order::items, VarType::BStr)
      .Property("Customer", &Order::customer);
  ClassRegistry::Global().Register(shop);

  // 2. Objects are made by programmatic identifier and used late-bound.
  ObjectRef order = CreateByProgId("ShopLib.Order");
  InvokeByName(order, "Number", InvokeKind::PropertyPut, {{Variant(42)}});
  InvokeByName(order, "Total", InvokeKind::PropertyPut, {{Variant("19.90")}});  // converted
  SafeArray items(VarType::BStr, {{1, 2}});
  items.Set({1}, Variant("tea"));
  items.Set({2}, Variant("cups"));
  InvokeByName(order, "Items", InvokeKind::PropertyPut, {{Variant(items)}});
  ObjectRef customer = CreateByProgId("ShopLib.Customer");
  customer.As<Customer>()->name = "Ada";
  InvokeByName(order, "Customer", InvokeKind::PropertyPutRef, {{Variant(customer)}});

  // 3. The component: name the server, follow the walk, copy and stream.
  Replikon control;
  control.SetObjectServerName("ShopLib");
  control.AddRecursionCheckHandler([](RecursionCheckArgs& e) {
    std::cout << "RecursionCheck: " << e.current_object_property << " (status " << e.error_status
              << ")\n";
  });

  ObjectRef copy = control.Copy(order);
  std::cout << "copy of order " << ToI4(InvokeByName(copy, "Number", InvokeKind::PropertyGet))
            << " for " << copy.As<Order>()->customer.As<Customer>()->name << "\n";

  SafeArray stream = control.StreamFromObject(order);
  std::cout << "Stream of " << stream.Count() << " bytes holds a " << control.ObjectTypeName(stream)
            << "\n";
  control.StreamToFile(stream, "order.stm");

  ObjectRef back = control.ObjectFromStream(control.StreamFromFile("order.stm"));
  std::cout << "read back: total " << ToBStr(InvokeByName(back, "Total", InvokeKind::PropertyGet))
            << ", items " << back.As<Order>()->items.Get({2}).String() << "\n";

  // 4. Failures are AutomationErrors with the platform's numbers.
  try {
    Replikon unnamed;
    unnamed.Copy(order);
  } catch (const AutomationError& e) {
    std::cout << "error " << e.Number() << ": " << e.Description() << " (" << e.HelpFile()
              << ", context " << e.HelpContext() << ")\n";
  }
  std::remove("order.stm");
  return 0;
}
