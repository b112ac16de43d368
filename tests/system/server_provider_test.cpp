// Server providers: the class registry asks them for a server it does not
// have, registers the first one supplied, and reports what each said when
// none supplies it. Only the server's own name (ObjectServerName or an
// explicit identifier) is ever asked for.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "orders/orders_server.hpp"
#include "replikon/replikon.hpp"
#include "test_support.hpp"

namespace replikon {
namespace {

using test_support::ErrorFrom;

struct Gear {
  std::int32_t teeth = 0;
};

Server GearServer(std::string name = "GearLib") {
  Server server(std::move(name));
  server.Class<Gear>("Gear").Property("Teeth", &Gear::teeth);
  return server;
}

// A provider that supplies one server and counts the times it is asked.
struct Counting {
  std::string name;
  int asked = 0;
  ServerProviderFunction Function() {
    return [this](std::string_view server) -> std::optional<Server> {
      ++asked;
      if (server != name) return std::nullopt;
      return GearServer(name);
    };
  }
};

// Providers are asked in order until one supplies the server, and only once;
// a provider given again is not added twice, and one removed is asked no more.
TEST(ServerProviders, AMissingServerIsSuppliedOnceByTheFirstThatCanAndProvidersAreRemoved) {
  ClassRegistry registry;
  Counting none{"Elsewhere"};
  Counting gears{"GearLib"};
  Counting second{"GearLib"};
  registry.AddServerProvider(none.Function());
  const std::shared_ptr<ServerProvider> provider = registry.AddServerProvider(gears.Function());
  registry.AddServerProvider(second.Function());
  registry.AddServerProvider(provider);
  EXPECT_FALSE(registry.HasServer("GearLib"));
  ASSERT_NE(registry.CreateByProgId("GearLib.Gear"), nullptr);
  EXPECT_TRUE(registry.HasServer("GearLib"));
  ASSERT_NE(registry.FindDefinition("GearLib.Gear"), nullptr);
  ASSERT_NE(registry.CreateByProgId("GearLib.Gear"), nullptr);
  EXPECT_EQ(gears.asked, 1);
  EXPECT_EQ(none.asked, 1);
  EXPECT_EQ(second.asked, 0);
  // A class the server lacks is not asked for again: the server is there.
  EXPECT_EQ(ErrorFrom([&] { registry.CreateByProgId("GearLib.Pulley"); }).Number(),
            errors::kCannotCreateObject);
  EXPECT_EQ(registry.FindDefinition("GearLib.Pulley"), nullptr);
  EXPECT_EQ(gears.asked, 1);
  // Names without a server part ask no one.
  EXPECT_EQ(registry.FindDefinition("Gear"), nullptr);
  EXPECT_EQ(registry.FindDefinition(".Gear"), nullptr);
  EXPECT_EQ(gears.asked, 1);

  EXPECT_EQ(ErrorFrom([&] { registry.RequireServer("Other"); }).Number(),
            errors::kCannotCreateObject);
  EXPECT_EQ(gears.asked, 2);
  EXPECT_TRUE(registry.RemoveServerProvider(*provider));
  EXPECT_FALSE(registry.RemoveServerProvider(*provider));
  EXPECT_EQ(ErrorFrom([&] { registry.RequireServer("Third"); }).Number(),
            errors::kCannotCreateObject);
  EXPECT_EQ(std::tie(none.asked, gears.asked, second.asked), std::tuple(3, 2, 2));
  EXPECT_EQ(ErrorFrom([&] { registry.AddServerProvider(ServerProviderFunction()); }).Number(),
            errors::kInvalidProcedureCall);
  EXPECT_EQ(
      ErrorFrom([&] { registry.AddServerProvider(std::shared_ptr<ServerProvider>()); }).Number(),
      errors::kInvalidProcedureCall);
}

TEST(ServerProviders, ThrowingOrWrongServersCountAsNotFoundAndAreReported) {
  ClassRegistry registry;
  registry.AddServerProvider([](std::string_view) -> std::optional<Server> {
    throw std::runtime_error("catalogue offline");
  });
  registry.AddServerProvider([](std::string_view) -> std::optional<Server> {
    throw AutomationError(errors::kPermissionDenied, "Permission denied");
  });
  registry.AddServerProvider(
      [](std::string_view) -> std::optional<Server> { return GearServer("NotGearLib"); });
  registry.AddServerProvider([](std::string_view name) -> std::optional<Server> {
    Server server{std::string(name)};
    server.Class<Gear>("Bad.Name");
    return server;
  });
  registry.AddServerProvider([](std::string_view) { return std::optional<Server>(); });
  const std::uint64_t generation = registry.Generation();

  const AutomationError error = ErrorFrom([&] { registry.CreateByProgId("GearLib.Gear"); });
  EXPECT_EQ(error.Number(), errors::kCannotCreateObject);
  EXPECT_EQ(error.Description(), "ActiveX component can't create object");
  EXPECT_EQ(error.Details(),
            "server 'GearLib' not found:\n"
            "threw: catalogue offline\n"
            "error 70: Permission denied\n"
            "supplied the server 'NotGearLib' instead\n"
            "error 5: Invalid class name 'Bad.Name' in server 'GearLib'");
  EXPECT_EQ(registry.SupplyFailure("GearLib"), error.Details());
  EXPECT_EQ(registry.Generation(), generation);
  EXPECT_FALSE(registry.HasServer("GearLib"));
  EXPECT_FALSE(registry.HasServer("NotGearLib"));
  EXPECT_EQ(registry.FindDefinition("GearLib.Gear"), nullptr);

  ClassRegistry bare;
  EXPECT_EQ(ErrorFrom([&] { bare.RequireServer("GearLib"); }).Details(),
            "server 'GearLib' not found (no server provider)");
}

// The component: ObjectServerName chooses the server the providers are asked
// for, once.
TEST(ServerProviders, TheComponentMakesObjectsOfASuppliedServer) {
  ClassRegistry writer;
  orders::RegisterOrdersServer(writer);
  Replikon write_control(nullptr, writer);
  write_control.SetObjectServerName(orders::kServerName);
  // The sample's carrier, of another server, is left out.
  write_control.SetProblemsNotification(ProblemsNotificationConstants::SourceObjectOnly);
  const ObjectRef invoice = orders::MakeSampleInvoice(writer);
  const SafeArray stream = write_control.StreamFromObject(invoice);

  ClassRegistry reader;
  std::vector<std::string> asked;
  reader.AddServerProvider([&](std::string_view name) -> std::optional<Server> {
    asked.emplace_back(name);
    if (name != orders::kServerName) return std::nullopt;
    return orders::MakeOrdersServer();
  });
  Replikon read_control(nullptr, reader);
  read_control.SetObjectServerName(orders::kServerName);
  const ObjectRef back = read_control.ObjectFromStream(stream);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(ClassNameOf(back), "Invoice");
  EXPECT_EQ(InvokeByName(back, "Number", InvokeKind::PropertyGet),
            InvokeByName(invoice, "Number", InvokeKind::PropertyGet));
  EXPECT_EQ(asked, std::vector<std::string>{orders::kServerName});
}

}  // namespace
}  // namespace replikon
