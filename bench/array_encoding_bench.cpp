// Speed of the array encoding, the stream engines' inner loop: one bag entry
// per element. Run:
//   build/bench/replikon_bench --benchmark_filter=Array --benchmark_counters_tabular=true

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "replikon/automation/safe_array.hpp"
#include "replikon/automation/variant.hpp"
#include "replikon/stream/array_encoding.hpp"

namespace {

using replikon::ArrayBound;
using replikon::SafeArray;
using replikon::Variant;
using replikon::VarType;

SafeArray Integers(std::int64_t n) {
  SafeArray a(VarType::I4, {ArrayBound{0, static_cast<std::int32_t>(n - 1)}});
  for (std::int64_t i = 0; i < n; ++i)
    a.SetFlat(static_cast<std::size_t>(i), Variant(static_cast<std::int32_t>(i)));
  return a;
}

SafeArray Strings(std::int64_t n) {
  SafeArray a(VarType::BStr, {ArrayBound{0, static_cast<std::int32_t>(n - 1)}});
  for (std::int64_t i = 0; i < n; ++i) {
    a.SetFlat(static_cast<std::size_t>(i), Variant("line " + std::to_string(i)));
  }
  return a;
}

// A Variant array of n small nested arrays (a jagged array).
SafeArray Jagged(std::int64_t n) {
  SafeArray a(VarType::Variant, {ArrayBound{0, static_cast<std::int32_t>(n - 1)}});
  const Variant inner(Integers(4));
  for (std::int64_t i = 0; i < n; ++i) a.SetFlat(static_cast<std::size_t>(i), inner);
  return a;
}

template <SafeArray (*Make)(std::int64_t)>
void BM_ArrayEncode(benchmark::State& state) {
  const Variant value(Make(state.range(0)));
  std::size_t bytes = 0;
  for (auto _ : state) {
    const std::vector<std::uint8_t> stream = replikon::StreamFromArray(value);
    bytes = stream.size();
    benchmark::DoNotOptimize(stream.data());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}

template <SafeArray (*Make)(std::int64_t)>
void BM_ArrayDecode(benchmark::State& state) {
  const std::vector<std::uint8_t> stream = replikon::StreamFromArray(Variant(Make(state.range(0))));
  for (auto _ : state) {
    const Variant value = replikon::ArrayFromStream(stream);
    benchmark::DoNotOptimize(&value);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
}

BENCHMARK(BM_ArrayEncode<Integers>)->Arg(1000)->Arg(100000);
BENCHMARK(BM_ArrayDecode<Integers>)->Arg(1000)->Arg(100000);
BENCHMARK(BM_ArrayEncode<Strings>)->Arg(100000);
BENCHMARK(BM_ArrayDecode<Strings>)->Arg(100000);
BENCHMARK(BM_ArrayEncode<Jagged>)->Arg(10000);
BENCHMARK(BM_ArrayDecode<Jagged>)->Arg(10000);

}  // namespace
