// The README's API tour, as a program that is built with the project (so the
// tour keeps compiling) and run by the tests.

#include <array>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "replikon/replikon.hpp"

// 1. A client's classes: plain C++ types...
enum class Status { Open, Paid, Shipped };
constexpr auto AutomationEnumerators(Status) {
  return std::array{Status::Open, Status::Paid, Status::Shipped};
}

struct Customer {
  std::string name;
  std::int32_t visits = 0;
};

struct Order {
  std::int32_t number = 0;
  replikon::Currency total;
  Status status = Status::Open;
  std::vector<std::string> items;
  replikon::Ref<Customer> customer;
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
      .Property("Status", &Order::status)       // Long: only Open, Paid or Shipped
      .Property("Items", &Order::items)         // String(), from 0
      .Property("Customer", &Order::customer);  // object: only a Customer
  ClassRegistry::Global().Register(shop);

  // 2. Objects are made by programmatic identifier and used late-bound.
  ObjectRef order = CreateByProgId("ShopLib.Order");
  InvokeByName(order, "Number", InvokeKind::PropertyPut, {{Variant(42)}});
  InvokeByName(order, "Total", InvokeKind::PropertyPut, {{Variant("19.90")}});  // converted
  InvokeByName(order, "Status", InvokeKind::PropertyPut, {{Variant(1)}});       // Paid
  order.As<Order>()->items = {"tea", "cups"};
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
            << " for " << copy.As<Order>()->customer->name << "\n";

  SafeArray stream = control.StreamFromObject(order);
  std::cout << "Stream of " << stream.Count() << " bytes holds a " << control.ObjectTypeName(stream)
            << "\n";
  control.StreamToFile(stream, "order.stm");

  ObjectRef back = control.ObjectFromStream(control.StreamFromFile("order.stm"));
  std::cout << "read back: total " << ToBStr(InvokeByName(back, "Total", InvokeKind::PropertyGet))
            << ", items " << back.As<Order>()->items[1] << "\n";

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
