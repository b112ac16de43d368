// Speed of the three processing calls on the sample server's Node class: a
// balanced tree (wide) and chains (deep). Run:
//   build/bench/replikon_bench --benchmark_counters_tabular=true

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "orders/orders_server.hpp"
#include "replikon/control/replikon.hpp"
#include "replikon/server.hpp"

namespace {

using replikon::ObjectRef;
using replikon::Variant;

replikon::ClassRegistry& Registry() {
  static replikon::ClassRegistry& registry = []() -> replikon::ClassRegistry& {
    orders::RegisterOrdersServer(replikon::ClassRegistry::Global());
    return replikon::ClassRegistry::Global();
  }();
  return registry;
}

// A chain of `length` Nodes, each holding the next in Left.
ObjectRef MakeChain(std::int64_t length) {
  ObjectRef head;
  for (std::int64_t i = length; i > 0; --i) {
    ObjectRef node = Registry().CreateByProgId("OrdersLib.Node");
    auto* n = node.As<orders::Node>();
    n->number = static_cast<std::int32_t>(i);
    n->name = "node-" + std::to_string(i);
    n->left = head;
    head = node;
  }
  return head;
}

ObjectRef MakeShape(std::int64_t arg) {
  // Negative: a tree of that many levels; positive: a chain of that length.
  return arg < 0 ? orders::MakeNodeTree(static_cast<int>(-arg), Registry()) : MakeChain(arg);
}

std::int64_t ObjectCount(std::int64_t arg) {
  return arg < 0 ? (std::int64_t{1} << -arg) - 1 : arg;
}

void SetCounters(benchmark::State& state, std::int64_t objects, std::int64_t bytes) {
  state.counters["objects/s"] = benchmark::Counter(static_cast<double>(objects),
                                                   benchmark::Counter::kIsIterationInvariantRate);
  state.counters["ns/object"] = benchmark::Counter(
      static_cast<double>(objects),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  if (bytes > 0) {
    state.counters["bytes/s"] = benchmark::Counter(static_cast<double>(bytes),
                                                   benchmark::Counter::kIsIterationInvariantRate);
    state.counters["bytes/object"] = static_cast<double>(bytes) / static_cast<double>(objects);
  }
}

replikon::Replikon& Component(bool events) {
  static replikon::Replikon with_events(nullptr, Registry());
  static replikon::Replikon without_events(nullptr, Registry());
  with_events.SetObjectServerName("OrdersLib");
  without_events.SetObjectServerName("OrdersLib");
  without_events.SetRaiseRecursionCheckEvent(false);
  return events ? with_events : without_events;
}

void BM_StreamFromObject(benchmark::State& state) {
  ObjectRef root = MakeShape(state.range(0));
  auto& control = Component(true);
  std::int64_t bytes = 0;
  for (auto _ : state) {
    replikon::SafeArray stream = control.StreamFromObject(root);
    bytes = static_cast<std::int64_t>(stream.Count());
    benchmark::DoNotOptimize(stream);
  }
  SetCounters(state, ObjectCount(state.range(0)), bytes);
}

void BM_ObjectFromStream(benchmark::State& state) {
  ObjectRef root = MakeShape(state.range(0));
  auto& control = Component(true);
  const replikon::SafeArray stream = control.StreamFromObject(root);
  root.Reset();
  for (auto _ : state) {
    ObjectRef back = control.ObjectFromStream(stream);
    state.PauseTiming();
    back.Reset();
    state.ResumeTiming();
  }
  SetCounters(state, ObjectCount(state.range(0)), static_cast<std::int64_t>(stream.Count()));
}

void BM_Copy(benchmark::State& state) {
  ObjectRef root = MakeShape(state.range(0));
  auto& control = Component(state.range(1) != 0);
  for (auto _ : state) {
    ObjectRef copy = control.Copy(root);
    state.PauseTiming();
    copy.Reset();
    state.ResumeTiming();
  }
  SetCounters(state, ObjectCount(state.range(0)), 0);
}

// The yardstick for BM_Copy: the same deep copy written by hand in C++ for the
// Node class, making each instance through the registry as Copy does.
ObjectRef CloneByHand(const ObjectRef& source) {
  if (!source) return {};
  ObjectRef target = Registry().CreateByProgId("OrdersLib.Node");
  const auto& from = *source.As<orders::Node>();
  auto& to = *target.As<orders::Node>();
  to.number = from.number;
  to.name = from.name;
  to.amount = from.amount;
  to.when = from.when;
  to.ratio = from.ratio;
  to.flag = from.flag;
  to.values = from.values;
  to.left = CloneByHand(from.left);
  to.right = CloneByHand(from.right);
  return target;
}

void BM_CloneByHand(benchmark::State& state) {
  ObjectRef root = MakeShape(state.range(0));
  for (auto _ : state) {
    ObjectRef copy = CloneByHand(root);
    state.PauseTiming();
    copy.Reset();
    state.ResumeTiming();
  }
  SetCounters(state, ObjectCount(state.range(0)), 0);
}

// -14: a balanced tree of 16,383 Nodes; 1,000 / 10,000 / 100,000: chains.
BENCHMARK(BM_StreamFromObject)
    ->Arg(-14)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ObjectFromStream)
    ->Arg(-14)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Copy)
    ->Args({-14, 1})
    ->Args({-14, 0})
    ->Args({1000, 1})
    ->Args({10000, 1})
    ->Args({100000, 1})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CloneByHand)->Arg(-14)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
