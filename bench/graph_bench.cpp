// Cost of PreserveIdentity: the same balanced tree with the setting off and
// on, and graphs only the setting carries: a doubly linked list (Next counted,
// Prev weak) and a tree whose nodes are all also held in one shared array.
// Each row is a Stream round trip (StreamFromObject then ObjectFromStream) or
// a Copy, without RecursionCheck events. Run:
//   build/bench/replikon_bench --benchmark_filter=Graph --benchmark_counters_tabular=true

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "replikon/control/replikon.hpp"
#include "replikon/server.hpp"

namespace {

using replikon::ObjectRef;
using replikon::SafeArray;
using replikon::VarType;

struct TreeNode {
  std::int32_t number = 0;
  std::string name;
  double ratio = 0.0;
  ObjectRef left;
  ObjectRef right;
};

struct ListNode {
  std::int32_t number = 0;
  std::string name;
  ObjectRef next;
  replikon::WeakObjectRef prev;
};

// A tree and, in `all`, every one of its nodes.
struct Forest {
  ObjectRef root;
  SafeArray all{VarType::Dispatch};
};

struct Classes {
  replikon::ClassRegistry registry;
  replikon::Server server{"GraphBench"};
  Classes() {
    server.Class<TreeNode>("TreeNode")
        .Property("Number", &TreeNode::number)
        .Property("Name", &TreeNode::name)
        .Property("Ratio", &TreeNode::ratio)
        .Property("Left", &TreeNode::left)
        .Property("Right", &TreeNode::right);
    server.Class<ListNode>("ListNode")
        .Property("Number", &ListNode::number)
        .Property("Name", &ListNode::name)
        .Property("Next", &ListNode::next)
        .WeakProperty("Prev", &ListNode::prev);
    server.Class<Forest>("Forest")
        .Property("Root", &Forest::root)
        .ArrayProperty("All", &Forest::all, VarType::Dispatch);
    registry.Register(server);
  }
};

Classes& Lib() {
  static Classes classes;
  return classes;
}

replikon::Replikon& Component(bool preserve_identity) {
  static replikon::Replikon off(nullptr, Lib().registry);
  static replikon::Replikon on(nullptr, Lib().registry);
  for (replikon::Replikon* c : {&off, &on}) {
    c->SetObjectServerName("GraphBench");
    c->SetRaiseRecursionCheckEvent(false);
  }
  on.SetPreserveIdentity(true);
  return preserve_identity ? on : off;
}

ObjectRef MakeTree(int depth, std::int32_t& next, std::vector<ObjectRef>* all) {
  if (depth <= 0) return {};
  ObjectRef object = Lib().registry.CreateByProgId("GraphBench.TreeNode");
  TreeNode& node = *object.As<TreeNode>();
  node.number = next++;
  node.name = "node-" + std::to_string(node.number);
  node.ratio = 1.0 / node.number;
  if (all != nullptr) all->push_back(object);
  node.left = MakeTree(depth - 1, next, all);
  node.right = MakeTree(depth - 1, next, all);
  return object;
}

// Shapes: 0 a balanced tree of `size` levels; 1 a doubly linked list of
// `size` nodes; 2 a Forest: a tree of `size` levels and all its nodes in All.
enum Shape : std::int64_t { kTree = 0, kList = 1, kForest = 2 };

ObjectRef MakeShape(std::int64_t shape, std::int64_t size) {
  std::int32_t next = 1;
  if (shape == kTree) return MakeTree(static_cast<int>(size), next, nullptr);
  if (shape == kForest) {
    std::vector<ObjectRef> nodes;
    ObjectRef forest = Lib().registry.CreateByProgId("GraphBench.Forest");
    forest.As<Forest>()->root = MakeTree(static_cast<int>(size), next, &nodes);
    SafeArray all(VarType::Dispatch,
                  {replikon::ArrayBound{0, static_cast<std::int32_t>(nodes.size()) - 1}});
    for (std::size_t i = 0; i < nodes.size(); ++i) all.SetFlatRef(i, nodes[i]);
    forest.As<Forest>()->all = std::move(all);
    return forest;
  }
  ObjectRef head;
  ObjectRef last;
  for (std::int64_t i = 0; i < size; ++i) {
    ObjectRef object = Lib().registry.CreateByProgId("GraphBench.ListNode");
    ListNode& node = *object.As<ListNode>();
    node.number = static_cast<std::int32_t>(i);
    node.name = "node-" + std::to_string(i);
    if (last) {
      last.As<ListNode>()->next = object;
      node.prev = last;
    } else {
      head = object;
    }
    last = object;
  }
  return head;
}

std::int64_t ObjectCount(std::int64_t shape, std::int64_t size) {
  if (shape == kList) return size;
  const std::int64_t tree = (std::int64_t{1} << size) - 1;
  return shape == kForest ? tree + 1 : tree;
}

void SetCounters(benchmark::State& state, std::int64_t objects) {
  state.counters["objects"] = static_cast<double>(objects);
  state.counters["ns/object"] = benchmark::Counter(
      static_cast<double>(objects),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// Args: shape, size, PreserveIdentity (0/1).
void BM_GraphRoundTrip(benchmark::State& state) {
  ObjectRef root = MakeShape(state.range(0), state.range(1));
  auto& control = Component(state.range(2) != 0);
  std::int64_t bytes = 0;
  for (auto _ : state) {
    const SafeArray stream = control.StreamFromObject(root);
    ObjectRef back = control.ObjectFromStream(stream);
    bytes = static_cast<std::int64_t>(stream.Count());
    state.PauseTiming();
    back.Reset();
    state.ResumeTiming();
  }
  SetCounters(state, ObjectCount(state.range(0), state.range(1)));
  state.counters["bytes"] = static_cast<double>(bytes);
}

void BM_GraphCopy(benchmark::State& state) {
  ObjectRef root = MakeShape(state.range(0), state.range(1));
  auto& control = Component(state.range(2) != 0);
  for (auto _ : state) {
    ObjectRef copy = control.Copy(root);
    state.PauseTiming();
    copy.Reset();
    state.ResumeTiming();
  }
  SetCounters(state, ObjectCount(state.range(0), state.range(1)));
}

// The tree of 16,383 nodes off and on; the list of 1,000 and 100,000; the
// forest of 1,024 and 131,072 objects.
void GraphArgs(benchmark::internal::Benchmark* b) {
  b->Args({kTree, 14, 0})
      ->Args({kTree, 14, 1})
      ->Args({kList, 1000, 1})
      ->Args({kList, 100000, 1})
      ->Args({kForest, 10, 1})
      ->Args({kForest, 17, 1});
}

BENCHMARK(BM_GraphRoundTrip)->Apply(GraphArgs)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GraphCopy)->Apply(GraphArgs)->Unit(benchmark::kMillisecond);

}  // namespace
