// The heap that reading crafted Streams takes, per byte of input, at the
// bounds of docs/resource-bounds.md (glibc's heap statistics, so Linux only):
//   heap/byte   heap in use while the result (or the parsed bag) is alive,
//               divided by the input's size.
// Time per byte shows that reading stays linear as the input grows.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstdint>
#include <string>
#include <vector>

#include "automation/bag_codec.hpp"
#include "replikon/control/replikon.hpp"
#include "replikon/server.hpp"
#include "replikon/stream/array_encoding.hpp"
#include "replikon/stream/stream_layout.hpp"
#include "stream/array_codec.hpp"

namespace {

using replikon::BagWriter;
using replikon::ObjectRef;
using replikon::SafeArray;
using replikon::Variant;
using Bytes = std::vector<std::uint8_t>;

std::size_t HeapInUse() {
  return mallinfo2().uordblks;
}

void Report(benchmark::State& state, std::size_t input, std::size_t heap) {
  state.counters["heap/byte"] = static_cast<double>(heap) / static_cast<double>(input);
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(input));
}

// A bag of `n` entries of nearly the smallest kind: Empty values under
// distinct 3-byte keys, 9 bytes each (the smallest entry, 6 bytes, has an
// empty key, and keys must differ).
Bytes SmallestEntries(std::int64_t n) {
  Bytes out;
  BagWriter bag(out);
  std::string key;
  for (std::int64_t i = 0; i < n; ++i) {
    key.assign(reinterpret_cast<const char*>(&i), 3);
    bag.Write(key, Variant());
  }
  bag.Finish();
  return out;
}

void BM_ParseSmallestEntries(benchmark::State& state) {
  const Bytes bytes = SmallestEntries(state.range(0));
  std::size_t heap = 0;
  for (auto _ : state) {
    const std::size_t before = HeapInUse();
    replikon::BagReader reader(bytes);
    heap = HeapInUse() - before;
    benchmark::DoNotOptimize(reader.Size());
  }
  Report(state, bytes.size(), heap);
}
BENCHMARK(BM_ParseSmallestEntries)->Arg(1000)->Arg(100000);

void BM_LoadBagSmallestEntries(benchmark::State& state) {
  const Bytes bytes = SmallestEntries(state.range(0));
  std::size_t heap = 0;
  for (auto _ : state) {
    const std::size_t before = HeapInUse();
    replikon::PropertyBag bag;
    bag.SetContents(bytes);
    heap = HeapInUse() - before;
    benchmark::DoNotOptimize(bag.Size());
  }
  Report(state, bytes.size(), heap);
}
BENCHMARK(BM_LoadBagSmallestEntries)->Arg(1000)->Arg(100000);

// A Variant array stream whose element bag holds no entry, padded with an
// entry of `padding` bytes, claiming every element the allowance grants.
Bytes EmptyVariantArray(std::int64_t padding) {
  auto build = [padding](std::uint64_t count) {
    replikon::StreamHeaderFields fields;
    fields.version = 1;
    fields.kind = replikon::kArrayStreamKind;
    fields.dimensions = 1;
    fields.element_type = static_cast<std::int16_t>(replikon::VarType::Variant);
    Bytes elements;
    BagWriter(elements).Finish();
    Bytes out;
    BagWriter w(out);
    w.Write(replikon::kHeaderKey, Variant(replikon::PackStreamHeader(fields)));
    w.Write("D1", Variant(0));
    w.Write("G1", Variant(static_cast<std::int32_t>(count) - 1));
    w.WriteBytes(replikon::kElementsKey, elements);
    w.Write("pad", Variant(std::string(static_cast<std::size_t>(padding), 'x')));
    w.Finish();
    return out;
  };
  return build(replikon::DecodeAllowance(build(1).size()).Left());
}

void BM_DecodeWholeAllowance(benchmark::State& state) {
  const Bytes bytes = EmptyVariantArray(state.range(0));
  std::size_t heap = 0;
  for (auto _ : state) {
    const std::size_t before = HeapInUse();
    const Variant array = replikon::ArrayFromStream(bytes);
    heap = HeapInUse() - before;
    if (!array.IsArray()) state.SkipWithError("the array did not decode");
  }
  Report(state, bytes.size(), heap);
}
BENCHMARK(BM_DecodeWholeAllowance)->Arg(100)->Arg(100000);

// An object Stream of `depth` levels of the smallest kind (57 bytes each).
struct Link {
  ObjectRef c;
};

Bytes SmallestChain(std::size_t depth) {
  Bytes out;
  std::vector<BagWriter> bags;
  std::vector<BagWriter::Pending> pending;
  bags.reserve(depth);
  pending.reserve(depth);
  for (std::size_t i = 0; i < depth; ++i) {
    BagWriter& bag = bags.emplace_back(out);
    bag.Write(replikon::kHeaderKey, Variant(17));
    bag.Write(replikon::kClassNameKey, Variant("L"));
    if (i + 1 < depth) pending.push_back(bag.BeginBytes("C"));
  }
  for (std::size_t i = depth; i-- > 0;) {
    bags[i].Finish();
    if (i > 0) bags[i - 1].EndBytes(pending[i - 1]);
  }
  return out;
}

void BM_ReadSmallestChain(benchmark::State& state) {
  replikon::Server server("S");
  server.Class<Link>("L").Property("C", &Link::c);
  replikon::ClassRegistry registry;
  registry.Register(server);
  replikon::Replikon control(nullptr, registry);
  control.SetObjectServerName("S");
  control.SetRaiseRecursionCheckEvent(false);
  const SafeArray stream =
      SafeArray::FromBytes(SmallestChain(static_cast<std::size_t>(state.range(0))));
  std::size_t heap = 0;
  for (auto _ : state) {
    const std::size_t before = HeapInUse();
    ObjectRef head = control.ObjectFromStream(stream);
    heap = HeapInUse() - before;
    state.PauseTiming();
    head.Reset();
    state.ResumeTiming();
  }
  Report(state, stream.Count(), heap);
}
BENCHMARK(BM_ReadSmallestChain)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace
