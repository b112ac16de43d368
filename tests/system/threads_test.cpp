// Components on separate threads at the same time: each copies and streams
// its own objects and reads Streams that all the threads share. A component
// is used by the thread that made it; the registry, the classes and immutable
// Streams are shared. Run under ThreadSanitizer by scripts/test.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "orders/orders_server.hpp"
#include "replikon/control/replikon.hpp"
#include "replikon/server.hpp"
#include "replikon/stream/array_encoding.hpp"

namespace replikon {
namespace {

constexpr int kThreads = 4;
constexpr int kRounds = 12;

void Configure(Replikon& control) {
  control.SetObjectServerName(orders::kServerName);
  // The sample invoice's carrier belongs to another server: shared by the
  // copy, left out of the Stream.
  control.SetProblemsNotification(ProblemsNotificationConstants::SourceObjectOnly);
  control.SetSetExternalReferences(true);
}

TEST(Threads, SeparateComponentsWorkAtTheSameTime) {
  ClassRegistry registry;
  orders::RegisterOrdersServer(registry);
  Replikon main_control(nullptr, registry);
  Configure(main_control);

  // The shared, immutable inputs, and what each thread must get from them.
  const SafeArray invoice_stream =
      main_control.StreamFromObject(orders::MakeSampleInvoice(registry));
  const SafeArray invoice_again =
      main_control.StreamFromObject(main_control.ObjectFromStream(invoice_stream));
  const SafeArray tree_stream = main_control.StreamFromObject(orders::MakeNodeTree(6, registry));
  // An array whose element bag is large enough to be read through its index.
  SafeArray names(VarType::BStr, {{0, 99}});
  for (std::size_t i = 0; i < names.Count(); ++i) names.SetFlat(i, Variant(std::to_string(i)));
  const Variant array(std::move(names));
  const std::vector<std::uint8_t> array_stream = StreamFromArray(array);

  std::atomic<int> wrong{0};
  auto work = [&] {
    Replikon control(nullptr, registry);
    Configure(control);
    std::int64_t events = 0;
    control.AddRecursionCheckHandler([&events](RecursionCheckArgs&) { ++events; });
    for (int round = 0; round < kRounds; ++round) {
      const ObjectRef mine = orders::MakeSampleInvoice(registry);
      const ObjectRef copy = control.Copy(mine);
      wrong += !(control.StreamFromObject(mine) == invoice_stream);
      wrong += !(control.StreamFromObject(copy) == invoice_stream);
      wrong +=
          !(control.StreamFromObject(control.ObjectFromStream(invoice_stream)) == invoice_again);
      wrong += !(control.StreamFromObject(control.ObjectFromStream(tree_stream)) == tree_stream);
      wrong += !control.IsStream(invoice_stream) || control.ObjectTypeName(tree_stream) != "Node";
      wrong += !(ArrayFromStream(array_stream) == array);
    }
    wrong += events == 0;
  };
  std::vector<std::thread> threads;
  threads.reserve(kThreads);
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(work);
  for (std::thread& t : threads) t.join();

  EXPECT_EQ(wrong.load(), 0);
  for (const char* prog_id : {"OrdersLib.Invoice", "OrdersLib.Line", "OrdersLib.Node"}) {
    EXPECT_EQ(registry.LiveInstances(prog_id), 0) << prog_id;
  }
}

}  // namespace
}  // namespace replikon
