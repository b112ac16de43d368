// Writes the seed corpus of the fuzz targets: real Streams made by the writer
// (object streams of the sample server's classes, array streams of every
// element type, shape and nesting) and property bags holding every value type.
//
//   replikon_fuzz_corpus fuzz/corpus
//
// writes fuzz/corpus/<target>/<seed> for each target, replacing what is there.
// The targets that take a leading byte of options get each seed behind the
// option bytes listed here.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "automation/bag_codec.hpp"
#include "copy/engine_context.hpp"
#include "orders/orders_server.hpp"
#include "replikon/control/replikon.hpp"
#include "replikon/server.hpp"
#include "replikon/stream/array_encoding.hpp"
#include "stream/stream_engines.hpp"

namespace {

using namespace replikon;
using Bytes = std::vector<std::uint8_t>;
using Seeds = std::vector<std::pair<std::string, Bytes>>;

Bytes BytesOf(const SafeArray& array) {
  const auto span = array.ByteSpan();
  return Bytes(span.begin(), span.end());
}

SafeArray Filled(VarType type, std::vector<ArrayBound> bounds, const std::vector<Variant>& values) {
  SafeArray array(type, bounds);
  for (std::size_t i = 0; i < array.Count(); ++i) array.SetFlat(i, values[i % values.size()]);
  return array;
}

Seeds ArraySeeds() {
  Seeds seeds;
  auto add = [&](std::string name, const SafeArray& array) {
    seeds.emplace_back(std::move(name), StreamFromArray(Variant(array)));
  };
  add("i2", Filled(VarType::I2, {{0, 2}}, {Variant(std::int16_t{-7}), Variant(std::int16_t{300})}));
  add("i4", Filled(VarType::I4, {{1, 3}}, {Variant(10), Variant(20), Variant(30)}));
  add("r4", Filled(VarType::R4, {{0, 1}}, {Variant(1.5F), Variant(-0.0F)}));
  add("r8", Filled(VarType::R8, {{0, 2}}, {Variant(3.25), Variant(1e300), Variant(-2.0)}));
  add("cy", Filled(VarType::Cy, {{0, 1}}, {Variant(Currency{15000}), Variant(Currency{-1})}));
  add("date", Filled(VarType::Date, {{0, 1}}, {Variant(Date{45366.4375})}));
  add("bstr", Filled(VarType::BStr, {{-2, 0}}, {Variant("Pen"), Variant(""), Variant("Ink")}));
  add("bool", Filled(VarType::Bool, {{0, 2}}, {Variant(true), Variant(false)}));
  add("ui1",
      Filled(VarType::UI1, {{0, 3}}, {Variant(std::uint8_t{0xDE}), Variant(std::uint8_t{0})}));
  add("error", Filled(VarType::Error, {{0, 0}}, {Variant(ErrorCode{5})}));
  add("decimal", Filled(VarType::Decimal, {{0, 1}}, {Variant(Decimal{0, 125, 1, true})}));
  add("variant", Filled(VarType::Variant, {{0, 5}},
                        {Variant(42), Variant("text"), Variant(true), Variant(kNull), Variant(),
                         Variant(Decimal{1, 2, 3, false})}));
  add("two-dims", Filled(VarType::I4, {{0, 1}, {5, 6}}, {Variant(1), Variant(2), Variant(3)}));
  add("three-dims", Filled(VarType::BStr, {{0, 1}, {-1, 0}, {0, 1}}, {Variant("a"), Variant("b")}));
  add("five-dims",
      Filled(VarType::I2, {{0, 1}, {0, 0}, {0, 1}, {0, 0}, {1, 2}}, {Variant(std::int16_t{5})}));
  add("no-dims", SafeArray(VarType::BStr));
  add("empty-dim", SafeArray(VarType::R8, {{0, -1}}));

  SafeArray inner = Filled(VarType::R8, {{0, 1}}, {Variant(0.5), Variant(0.25)});
  SafeArray middle = Filled(VarType::Variant, {{0, 2}}, {Variant(1), Variant(inner)});
  add("nested", Filled(VarType::Variant, {{0, 2}}, {Variant(middle), Variant("x")}));
  SafeArray deep = Filled(VarType::I4, {{0, 0}}, {Variant(1)});
  for (int i = 0; i < 8; ++i) deep = Filled(VarType::Variant, {{0, 0}}, {Variant(deep)});
  add("deep", deep);
  return seeds;
}

Seeds ObjectSeeds(ClassRegistry& registry) {
  Replikon control(nullptr, registry);
  control.SetObjectServerName(orders::kServerName);
  control.SetProblemsNotification(
      ProblemsNotificationConstants::SourceObjectOnly);  // the invoice's carrier is left out
  Seeds seeds;
  auto add = [&](std::string name, const ObjectRef& object) {
    seeds.emplace_back(std::move(name), BytesOf(control.StreamFromObject(object)));
  };
  add("invoice", orders::MakeSampleInvoice(registry));
  add("node-tree", orders::MakeNodeTree(2, registry));
  add("nothing", ObjectRef());
  for (const char* name : {"Address", "Product", "Client", "Line"}) {
    add(std::string("default-") + name,
        registry.CreateByProgId(std::string(orders::kServerName) + "." + name));
  }
  ObjectRef head;
  for (int i = 0; i < 5; ++i) {
    ObjectRef node = registry.CreateByProgId(std::string(orders::kServerName) + ".Node");
    node.As<orders::Node>()->number = i;
    node.As<orders::Node>()->left = head;
    head = node;
  }
  add("node-chain", head);

  // Graph streams (PreserveIdentity): shared objects, cycles, objects in arrays.
  EngineSettings settings;
  settings.object_server_name = orders::kServerName;
  settings.problems_notification = ProblemsNotificationConstants::SourceObjectOnly;
  settings.preserve_identity = true;
  auto add_graph = [&](std::string name, const ObjectRef& object) {
    EngineContext ctx(settings, registry);
    ctx.SetRoot(object);
    std::int32_t status = 0;
    seeds.emplace_back(std::move(name), WriteObject(ctx, object, object, status));
  };
  add_graph("graph-invoice", orders::MakeSampleInvoice(registry));
  // A tree whose nodes share one child, and whose last node points back to the root.
  ObjectRef tree = orders::MakeNodeTree(2, registry);
  orders::Node& top = *tree.As<orders::Node>();
  top.right.As<orders::Node>()->left = top.left;
  top.left.As<orders::Node>()->right = tree;
  add_graph("graph-nodes", tree);
  top.left.As<orders::Node>()->right = ObjectRef();  // the cycle goes
  return seeds;
}

Seeds BagSeeds() {
  Seeds seeds;
  Bytes out;
  BagWriter bag(out);
  bag.Write("", Variant());
  bag.Write("null", Variant(kNull));
  bag.Write("i2", Variant(std::int16_t{-2}));
  bag.Write("i4", Variant(17));
  bag.Write("r4", Variant(0.1F));
  bag.Write("r8", Variant(-1e-300));
  bag.Write("cy", Variant(Currency{-75000}));
  bag.Write("date", Variant(Date{2.5}));
  bag.Write("bstr", Variant(std::string("with\0nul", 8)));
  bag.Write("error", Variant(ErrorCode{-2147352572}));
  bag.Write("bool", Variant(true));
  bag.Write("decimal", Variant(Decimal{0xFFFFFFFF, 0xFFFFFFFFFFFFFFFF, 28, true}));
  bag.Write("ui1", Variant(std::uint8_t{255}));
  bag.Write("bytes", Variant(SafeArray::FromBytes(Bytes{1, 2, 3}, -5)));
  bag.Write("unallocated", Variant(SafeArray::UnallocatedBytes()));
  bag.Finish();
  seeds.emplace_back("every-type", out);
  Bytes many;
  BagWriter big(many);
  for (int i = 0; i < 40; ++i) big.Write(std::to_string(i), Variant(i));  // indexed
  big.Finish();
  seeds.emplace_back("indexed", many);
  return seeds;
}

void Write(const std::filesystem::path& dir, const std::string& name, std::uint8_t prefix,
           bool with_prefix, const Bytes& bytes) {
  std::filesystem::create_directories(dir);
  std::ofstream file(dir / name, std::ios::binary | std::ios::trunc);
  if (with_prefix) file.put(static_cast<char>(prefix));
  file.write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
    return 2;
  }
  const std::filesystem::path root = argv[1];
  ClassRegistry registry;
  orders::RegisterOrdersServer(registry);
  const Seeds arrays = ArraySeeds();
  const Seeds objects = ObjectSeeds(registry);
  const Seeds bags = BagSeeds();

  for (const char* target : {"property_bag_fuzz", "is_stream_fuzz", "array_from_stream_fuzz",
                             "object_from_stream_fuzz", "inspect_command_fuzz"}) {
    std::filesystem::remove_all(root / target);
  }
  for (const Seeds* seeds : {&arrays, &objects, &bags}) {
    for (const auto& [name, bytes] : *seeds) {
      Write(root / "property_bag_fuzz", name, 0, false, bytes);
      Write(root / "is_stream_fuzz", name, 0, false, bytes);
    }
  }
  for (const auto& [name, bytes] : arrays) {
    Write(root / "array_from_stream_fuzz", name, 0x00, true, bytes);
    Write(root / "inspect_command_fuzz", "array-" + name, 0x0A, true, bytes);
  }
  // The i4 array with its declared type, and with another one.
  const Bytes& i4 = arrays[1].second;
  Write(root / "array_from_stream_fuzz", "i4-declared", (3 << 1) | 1, true, i4);
  Write(root / "array_from_stream_fuzz", "i4-declared-double", (5 << 1) | 1, true, i4);
  // Settings: everything on; no recursion; events off and SourceObjectOnly;
  // a handler that cancels, one that throws, one that calls the component.
  const std::pair<const char*, std::uint8_t> modes[] = {{"all", 0x0F},   {"flat", 0x0E},
                                                        {"quiet", 0x09}, {"cancel", 0x1F},
                                                        {"throw", 0x6F}, {"nested", 0x3F}};
  for (const auto& [name, bytes] : objects) {
    for (const auto& [mode, prefix] : modes) {
      if (name != "invoice" && name != "graph-invoice" && std::string(mode) != "all") continue;
      Write(root / "object_from_stream_fuzz", name + "-" + mode, prefix, true, bytes);
    }
    Write(root / "inspect_command_fuzz", "object-" + name, 0x0A, true, bytes);
  }
  Write(root / "inspect_command_fuzz", "invoice-json", 0x0B, true, objects[0].second);
  for (const auto& [name, bytes] : objects) {
    if (name == "node-chain")
      Write(root / "inspect_command_fuzz", "node-chain-shallow", 0x04, true, bytes);
  }
  return 0;
}
