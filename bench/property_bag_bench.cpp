// The property bag is the inner loop of the Stream engines: an element bag has
// one entry per array element. These measure writing, parsing and reading bags
// of element-bag shape (decimal keys, one scalar each).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "automation/bag_codec.hpp"
#include "replikon/automation/property_bag.hpp"

namespace replikon {
namespace {

std::vector<std::string> ElementKeys(std::int64_t n) {
  std::vector<std::string> keys;
  keys.reserve(static_cast<std::size_t>(n));
  for (std::int64_t i = 0; i < n; ++i) keys.push_back(std::to_string(i));
  return keys;
}

std::vector<std::uint8_t> ElementBag(const std::vector<std::string>& keys) {
  std::vector<std::uint8_t> out;
  BagWriter writer(out);
  for (std::size_t i = 0; i < keys.size(); ++i) {
    writer.Write(keys[i], Variant(static_cast<std::int32_t>(i)));
  }
  writer.Finish();
  return out;
}

void BM_BagWriterLongs(benchmark::State& state) {
  const auto keys = ElementKeys(state.range(0));
  std::vector<std::uint8_t> out;
  for (auto _ : state) {
    out.clear();
    BagWriter writer(out);
    for (std::size_t i = 0; i < keys.size(); ++i) {
      writer.Write(keys[i], Variant(static_cast<std::int32_t>(i)));
    }
    writer.Finish();
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_BagWriterLongs)->Arg(8)->Arg(1000)->Arg(1000000);

void BM_BagWriterNested(benchmark::State& state) {
  std::vector<std::uint8_t> out;
  for (auto _ : state) {
    out.clear();
    BagWriter outer(out);
    outer.Write("@SF#", Variant(std::int32_t{17}));
    for (int child = 0; child < state.range(0); ++child) {
      const auto pending = outer.BeginBytes("Child");
      BagWriter inner(out);
      inner.Write("@SF#", Variant(std::int32_t{17}));
      inner.Write("Name", Variant("a name"));
      inner.Finish();
      outer.EndBytes(pending);
    }
    outer.Finish();
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_BagWriterNested)->Arg(100);

void BM_BagReaderInOrder(benchmark::State& state) {
  const auto keys = ElementKeys(state.range(0));
  const auto bytes = ElementBag(keys);
  for (auto _ : state) {
    const BagReader reader(bytes);
    std::int64_t sum = 0;
    for (const std::string& key : keys) sum += *reader.ReadProperty(key).GetIf<std::int32_t>();
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_BagReaderInOrder)->Arg(4)->Arg(8)->Arg(16)->Arg(64)->Arg(1000)->Arg(1000000);

void BM_BagReaderReverse(benchmark::State& state) {
  const auto keys = ElementKeys(state.range(0));
  const auto bytes = ElementBag(keys);
  for (auto _ : state) {
    const BagReader reader(bytes);
    std::int64_t sum = 0;
    for (auto key = keys.rbegin(); key != keys.rend(); ++key) {
      sum += *reader.ReadProperty(*key).GetIf<std::int32_t>();
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_BagReaderReverse)->Arg(4)->Arg(8)->Arg(16)->Arg(64)->Arg(1000)->Arg(1000000);

// Refusing bytes: a large bag cut short at the end is parsed all the way.
void BM_BagReaderRefusesTruncated(benchmark::State& state) {
  auto bytes = ElementBag(ElementKeys(state.range(0)));
  bytes.pop_back();
  for (auto _ : state) benchmark::DoNotOptimize(BagReader::TryParse(bytes));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes.size()));
}
BENCHMARK(BM_BagReaderRefusesTruncated)->Arg(1000);

void BM_PropertyBagWrite(benchmark::State& state) {
  const auto keys = ElementKeys(state.range(0));
  for (auto _ : state) {
    PropertyBag bag;
    for (std::size_t i = 0; i < keys.size(); ++i) {
      bag.WriteProperty(keys[i], Variant(static_cast<std::int32_t>(i)));
    }
    benchmark::DoNotOptimize(bag.Contents());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_PropertyBagWrite)->Arg(8)->Arg(1000)->Arg(100000);

void BM_PropertyBagSetContents(benchmark::State& state) {
  const auto bytes = ElementBag(ElementKeys(state.range(0)));
  for (auto _ : state) {
    PropertyBag bag;
    bag.SetContents(bytes);
    benchmark::DoNotOptimize(bag.Size());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_PropertyBagSetContents)->Arg(8)->Arg(1000);

}  // namespace
}  // namespace replikon
