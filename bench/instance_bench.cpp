// The cost of an object's life: creating an instance by programmatic
// identifier and releasing it, alone and as the head of a chain whose release
// takes down every link.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>

#include "orders/orders_server.hpp"
#include "replikon/server.hpp"

namespace {

using replikon::ObjectRef;

replikon::ClassRegistry& Registry() {
  static replikon::ClassRegistry& registry = []() -> replikon::ClassRegistry& {
    orders::RegisterOrdersServer(replikon::ClassRegistry::Global());
    return replikon::ClassRegistry::Global();
  }();
  return registry;
}

struct Bare {
  std::int32_t value = 0;
  ObjectRef next;
};

// A class defined outside any registry: the instance alone, no look-up.
void BM_MakeObjectAndRelease(benchmark::State& state) {
  const auto info = replikon::ClassBuilder<Bare>("Bare")
                        .Property("Value", &Bare::value)
                        .Property("Next", &Bare::next)
                        .BuildInfo();
  for (auto _ : state) {
    ObjectRef o = replikon::MakeObject<Bare>(info);
    benchmark::DoNotOptimize(o.get());
  }
}
BENCHMARK(BM_MakeObjectAndRelease);

// The same instance made by plain std::make_shared, destroyed in place: what
// MakeObject would cost without the one-at-a-time destruction.
void BM_PlainSharedInstanceAndRelease(benchmark::State& state) {
  const auto info = replikon::ClassBuilder<Bare>("Bare")
                        .Property("Value", &Bare::value)
                        .Property("Next", &Bare::next)
                        .BuildInfo();
  for (auto _ : state) {
    ObjectRef o(std::make_shared<replikon::InstanceOf<Bare>>(info));
    benchmark::DoNotOptimize(o.get());
  }
}
BENCHMARK(BM_PlainSharedInstanceAndRelease);

void BM_CreateByProgIdAndRelease(benchmark::State& state) {
  const replikon::ClassRegistry& registry = Registry();
  for (auto _ : state) {
    ObjectRef o = registry.CreateByProgId("OrdersLib.Address");
    benchmark::DoNotOptimize(o.get());
  }
}
BENCHMARK(BM_CreateByProgIdAndRelease);

// Builds a chain of `range(0)` objects and drops its head: the release
// destroys every link.
void BM_ReleaseChain(benchmark::State& state) {
  const auto info = replikon::ClassBuilder<Bare>("Bare").Property("Next", &Bare::next).BuildInfo();
  const std::int64_t length = state.range(0);
  for (auto _ : state) {
    state.PauseTiming();
    ObjectRef head;
    for (std::int64_t i = 0; i < length; ++i) {
      ObjectRef o = replikon::MakeObject<Bare>(info);
      o.As<Bare>()->next = std::move(head);
      head = std::move(o);
    }
    state.ResumeTiming();
    head.Reset();
  }
  state.SetItemsProcessed(state.iterations() * length);
}
BENCHMARK(BM_ReleaseChain)->Arg(1000)->Arg(10000);

}  // namespace
