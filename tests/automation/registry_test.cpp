// The class registry: creation by programmatic identifier, class names,
// registration, and reads from several threads at once.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "orders/orders_server.hpp"
#include "replikon/server.hpp"
#include "test_support.hpp"

namespace {

using namespace replikon;
using namespace replikon::errors;

using replikon::test_support::ErrorFrom;

struct Widget {
  std::int32_t size = 0;
  std::string label;
};

Server WidgetServer(std::string name = "WidgetLib") {
  Server server(std::move(name));
  server.Class<Widget>("Widget")
      .Property("Size", &Widget::size)
      .Property("Label", &Widget::label)
      .OnInitialize([](Widget& w) { w.label = "new"; });
  server.Class<Widget>("Gadget").ReportsClassName("Widget");
  server.Class<Widget>("Refuses").OnInitialize(
      [](Widget&) { throw AutomationError(31001, "Licence missing", "widgets.hlp", 77); });
  server.Class<Widget>("Crashes").OnInitialize(
      [](Widget&) { throw std::logic_error("bad state"); });
  return server;
}

TEST(ClassRegistry, CreatesByExactProgIdWhateverNameTheClassReportsOrPassesItsErrorOn) {
  ClassRegistry registry;
  registry.Register(WidgetServer());
  ObjectRef w = registry.CreateByProgId("WidgetLib.Widget");
  ASSERT_FALSE(w.IsNull());
  EXPECT_EQ(ClassNameOf(w), "Widget");
  EXPECT_EQ(w.As<Widget>()->label, "new");  // initialisation ran
  EXPECT_EQ(InvokeByName(w, "Label", InvokeKind::PropertyGet), Variant("new"));

  for (const char* id :
       {"widgetlib.widget", "WidgetLib.widget", "WIDGETLIB.WIDGET", "Widget", "WidgetLib.",
        ".Widget", "WidgetLib.Widget ", "", "OrdersLib.Invoice", "WidgetLib.Nothing"}) {
    const AutomationError e = ErrorFrom([&] { registry.CreateByProgId(id); });
    EXPECT_EQ(e.Number(), kCannotCreateObject) << '"' << id << '"';
    EXPECT_EQ(e.Description(), "ActiveX component can't create object");
  }
  EXPECT_EQ(registry.FindClass("widgetlib.Widget"), nullptr);
  EXPECT_NE(registry.FindClass("WidgetLib.Widget"), nullptr);

  // A class may report another name.
  ObjectRef g = registry.CreateByProgId("WidgetLib.Gadget");
  EXPECT_EQ(ClassNameOf(g), "Widget");
  EXPECT_EQ(registry.FindClass("WidgetLib.Gadget")->Name(), "Widget");
  EXPECT_EQ(registry.LiveInstances("WidgetLib.Gadget"), 1);
  EXPECT_EQ(registry.LiveInstances("WidgetLib.Widget"), 1);  // w

  orders::RegisterOrdersServer();
  EXPECT_EQ(ClassNameOf(CreateByProgId("OrdersLib.Quote")), "Estimate");
  EXPECT_EQ(ErrorFrom([] { CreateByProgId("OrdersLib.Estimate"); }).Number(), kCannotCreateObject);

  // Errors of a class's initialisation pass through.
  const AutomationError e = ErrorFrom([&] { registry.CreateByProgId("WidgetLib.Refuses"); });
  test_support::ExpectError(e, 31001, "Licence missing", "widgets.hlp", 77);
  EXPECT_EQ(registry.LiveInstances("WidgetLib.Refuses"), 0);

  const AutomationError crash = ErrorFrom([&] { registry.CreateByProgId("WidgetLib.Crashes"); });
  EXPECT_EQ(crash.Number(), 440);
  EXPECT_EQ(crash.Description(), "bad state");
  EXPECT_EQ(registry.LiveInstances("WidgetLib.Crashes"), 0);

  EXPECT_EQ(ErrorFrom([] { CreateByProgId("OrdersLib.Archive"); }).Number(),
            orders::kArchiveLockedError);
}

TEST(ClassRegistry, RegistrationRefusesInvalidDefinitionsAndReplacesWholeServersKeepingInstances) {
  ClassRegistry registry;
  Server twice("Dup");
  twice.Class<Widget>("A");
  twice.Class<Widget>("A");
  EXPECT_EQ(ErrorFrom([&] { registry.Register(twice); }).Number(), kInvalidProcedureCall);
  EXPECT_FALSE(registry.HasServer("Dup"));

  Server dotted("Dotted");
  dotted.Class<Widget>("Good");
  dotted.Class<Widget>("Bad.Name");
  EXPECT_EQ(ErrorFrom([&] { registry.Register(dotted); }).Number(), kInvalidProcedureCall);
  EXPECT_EQ(registry.FindClass("Dotted.Good"), nullptr);

  Server unnamed("");
  unnamed.Class<Widget>("Widget");
  EXPECT_EQ(ErrorFrom([&] { registry.Register(unnamed); }).Number(), kInvalidProcedureCall);
  Server blank_class("Blank");
  blank_class.Class<Widget>("");
  EXPECT_EQ(ErrorFrom([&] { registry.Register(blank_class); }).Number(), kInvalidProcedureCall);

  registry.Register(WidgetServer());
  ObjectRef old_widget = registry.CreateByProgId("WidgetLib.Widget");
  EXPECT_TRUE(registry.HasServer("WidgetLib"));

  // A server registered again replaces all of its earlier classes.
  Server smaller("WidgetLib");
  smaller.Class<Widget>("Widget").Property("Size", &Widget::size);
  registry.Register(smaller);
  EXPECT_EQ(ErrorFrom([&] { registry.CreateByProgId("WidgetLib.Gadget"); }).Number(),
            kCannotCreateObject);
  ObjectRef new_widget = registry.CreateByProgId("WidgetLib.Widget");
  EXPECT_FALSE(DescribeObject(new_widget)->HasName("Label"));
  EXPECT_TRUE(DescribeObject(old_widget)->HasName("Label"));

  registry.Unregister("WidgetLib");
  EXPECT_FALSE(registry.HasServer("WidgetLib"));
  EXPECT_EQ(ErrorFrom([&] { registry.CreateByProgId("WidgetLib.Widget"); }).Number(),
            kCannotCreateObject);
  EXPECT_EQ(registry.LiveInstances("WidgetLib.Widget"), 0);
  // Objects of an unregistered server keep working.
  const Variant five(std::int32_t{5});
  InvokeByName(old_widget, "Size", InvokeKind::PropertyPut, {&five, 1});
  EXPECT_EQ(InvokeByName(old_widget, "Size", InvokeKind::PropertyGet), five);
  registry.Unregister("NoSuchServer");  // nothing to do

  // Registering the sample servers again changes nothing.
  orders::RegisterOrdersServer(registry);
  const auto invoice_class = registry.FindClass("OrdersLib.Invoice");
  ASSERT_NE(invoice_class, nullptr);
  orders::RegisterOrdersServer(registry);
  EXPECT_EQ(registry.FindClass("OrdersLib.Invoice"), invoice_class);
  EXPECT_TRUE(registry.HasServer("OtherLib"));
  EXPECT_NE(registry.FindClass("OtherLib.Carrier"), nullptr);
  EXPECT_EQ(registry.FindClass("OrdersLib.Carrier"), nullptr);  // external to OrdersLib
}

TEST(ClassRegistry, ReadsFromSeveralThreadsAtOnce) {
  ClassRegistry registry;
  registry.Register(WidgetServer());
  orders::RegisterOrdersServer(registry);

  constexpr int kThreads = 4;
  constexpr int kRounds = 500;
  std::atomic<int> failures{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> readers;
  for (int t = 0; t < kThreads; ++t) {
    readers.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        try {
          ObjectRef w = registry.CreateByProgId("WidgetLib.Widget");
          const Variant size(std::int32_t{t * kRounds + i});
          InvokeByName(w, "Size", InvokeKind::PropertyPut, {&size, 1});
          if (InvokeByName(w, "Size", InvokeKind::PropertyGet) != size) ++failures;
          ObjectRef tree = orders::MakeNodeTree(2, registry);
          if (ClassNameOf(tree) != "Node") ++failures;
          const auto missing = [&] { registry.CreateByProgId("WidgetLib.Missing"); };
          if (ErrorFrom(missing).Number() != kCannotCreateObject) ++failures;
        } catch (...) {
          ++failures;
        }
      }
    });
  }
  // A writer registering and removing another server meanwhile.
  std::thread writer([&] {
    while (!stop.load()) {
      registry.Register(WidgetServer("SideLib"));
      registry.Unregister("SideLib");
    }
  });
  for (std::thread& r : readers) r.join();
  stop = true;
  writer.join();

  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(registry.LiveInstances("WidgetLib.Widget"), 0);
  EXPECT_EQ(registry.LiveInstances("OrdersLib.Node"), 0);
}

}  // namespace
