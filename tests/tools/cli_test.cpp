// The replikon command, run in-process: its subcommands on real Streams and on
// hostile bytes, its JSON, the late-bound graph comparison of the demo.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "automation/bag_codec.hpp"
#include "flat_stream.hpp"
#include "graph_classes.hpp"
#include "graph_compare.hpp"
#include "json_writer.hpp"
#include "nested_streams.hpp"
#include "orders/orders_server.hpp"
#include "replikon/control/replikon.hpp"
#include "replikon/control/type_library.hpp"
#include "replikon/server.hpp"
#include "replikon/version.hpp"
#include "replikon_cli.hpp"
#include "stream_encoder.hpp"
#include "stream_inspector.hpp"
#include "test_support.hpp"

namespace replikon::cli {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using test_support::BagOf;
using test_support::Bytes;
using test_support::NestedObjectStreams;
using test_support::ScopedEnv;
using test_support::TempDir;

struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

Result RunCommand(std::vector<std::string> args, const std::string& input = {}) {
  args.insert(args.begin(), "replikon");
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  std::istringstream in(input);
  std::ostringstream out;
  std::ostringstream err;
  const int status = RunCli(static_cast<int>(argv.size()), argv.data(), in, out, err);
  return {status, out.str(), err.str()};
}

std::string AsString(const Bytes& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

// The sample order's Stream, with its external carrier left out.
const Bytes& SampleStream() {
  static const Bytes bytes = [] {
    orders::RegisterOrdersServer();
    Replikon control;
    control.SetObjectServerName(orders::kServerName);
    control.SetProblemsNotification(ProblemsNotificationConstants::SourceObjectOnly);
    return control.StreamFromObject(orders::MakeSampleInvoice()).ToBytes();
  }();
  return bytes;
}

Bytes NullStream() {
  Replikon control;
  control.SetObjectServerName(orders::kServerName);
  return control.StreamFromObject(ObjectRef()).ToBytes();
}

// Inspects `bytes` in-process; the status as the command gives it.
Result Inspect(const Bytes& bytes, bool as_json, std::size_t max_depth = kDefaultInspectDepth) {
  std::vector<std::string> args{"inspect", "-", "--max-depth", std::to_string(max_depth)};
  if (as_json) args.emplace_back("--json");
  return RunCommand(args, AsString(bytes));
}

const json* FindEntry(const json& entries, const std::string& key) {
  for (const json& e : entries) {
    if (e.at("key") == key) return &e;
  }
  return nullptr;
}

// Checks that `text` holds each of `parts`.
void ExpectHolds(const std::string& text, std::initializer_list<std::string> parts) {
  for (const std::string& part : parts) {
    EXPECT_NE(text.find(part), std::string::npos) << part << "\n" << text;
  }
}

// ---- Usage -------------------------------------------------------------------------

// tests/tools/cli_commands.sh runs the program itself on the demo's files, the
// usage errors and --help; these cases are the ones it leaves out.
TEST(CliUsage, UsageErrorsVersionDescribeAndAbout) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {}, {"inspect", "--max-depth", "1001", "f"}, {"demo", "--dir"}}) {
    const Result r = RunCommand(args);
    EXPECT_EQ(r.status, kExitUsage) << ::testing::PrintToString(args);
    EXPECT_FALSE(r.err.empty()) << ::testing::PrintToString(args);
  }
  EXPECT_EQ(RunCommand({"--version"}).out, "replikon " + std::string(kVersionString) + "\n");

  const Result r = RunCommand({"describe"});
  EXPECT_EQ(r.status, kExitOk);
  EXPECT_EQ(r.out, FormatTypeLibrary(ReplikonTypeLibrary()));
  EXPECT_EQ(r.err, "");

  // The About text, without a display.
  const ScopedEnv no_display("DISPLAY", std::nullopt);
  const Result about = RunCommand({"about"});
  EXPECT_EQ(about.status, kExitOk);
  EXPECT_EQ(about.out, AboutText());
  ExpectHolds(about.out, {"About Replikon\n", "Version 1.0\n", "You can visit us at https://",
                          "suggestions), please visit https://"});
}

TEST(CliTypeAndIsStream, NamelessFoldersAndStandardInputUpToTheLimit) {
  TempDir dir;
  const std::string nameless = dir / "nameless.stream";
  Replikon().StreamToFile(SafeArray::FromBytes(BagOf({{"@SF#", Variant(17)}})), nameless);
  // A Stream without a class name: no type, but a Stream all the same.
  const Result type = RunCommand({"type", nameless});
  EXPECT_EQ(type.status, kExitNo);
  EXPECT_TRUE(type.out.empty());
  ExpectHolds(type.err, {nameless, "records no class name"});
  EXPECT_EQ(RunCommand({"is-stream", nameless}).out, "true\n");
  EXPECT_EQ(RunCommand({"is-stream", dir.path().string()}).status, kExitNo);

  // Standard input is read whole, in blocks, up to the largest Stream; one
  // byte more is refused with a message that names standard input and the limit.
  const Bytes stream = SampleStream();
  std::ostringstream err;
  std::istringstream whole(AsString(stream));
  EXPECT_EQ(ReadStandardInput(whole, err, stream.size()).value().ToBytes(), stream);
  EXPECT_EQ(err.str(), "");
  std::istringstream over(AsString(stream));
  EXPECT_FALSE(ReadStandardInput(over, err, stream.size() - 1).has_value());
  EXPECT_EQ(err.str(),
            "replikon: cannot read standard input: error 7: Out of memory: standard input holds "
            "more than " +
                std::to_string(stream.size() - 1) + " bytes, the most a Stream can hold\n");
  // Larger than the first block, and empty.
  std::istringstream large(std::string(3u << 20, '\x5A'));
  EXPECT_EQ(ReadStandardInput(large, err).value().Count(), 3u << 20);
  std::istringstream none;
  EXPECT_FALSE(ReadStandardInput(none, err).value().IsAllocated());
}

// ---- inspect -----------------------------------------------------------------------

TEST(CliInspect, ShowsHeaderClassesEntriesAndArraysAsTextAndJson) {
  const Result r = Inspect(SampleStream(), false);
  ASSERT_EQ(r.status, kExitOk) << r.err;
  ExpectHolds(
      r.out,
      {
          "(standard input): object stream of class \"Invoice\"",
          "  @SF# 17 = 0x00000011: version 1, kind 16 (object stream), reserved 0, empty 0, "
          "dimensions 0, element type 0",
          "  Number: Long = 1001",
          "  Buyer: object stream of class \"Client\"",
          "    Address: object stream of class \"Address\"",
          "      City: String = \"Portsmouth\"",
          "    Notes: Null\n",
          "  Tags: array stream of String, 1 dimension",
          "0x08010021: version 1, kind 32 (array stream), reserved 0, empty 0, dimensions 1, "
          "element type 8 (String)",
          "    bounds (1 To 3), 3 elements, element bag of 3 entries",
          "    [3] String = \"fragile\"",
          "      [1] Double = 0.25",  // in Extras, an array nested in a Variant array
          "  Lines: array stream of Variant",
          "elements without an entry (such as object references",
      });
  EXPECT_EQ(r.out.find("Carrier"), std::string::npos) << "the external carrier is left out";
  const Result null_stream = Inspect(NullStream(), false);
  ExpectHolds(null_stream.out,
              {"object stream of Nothing (a null reference)", "@SF# 529 = 0x00000211"});

  // The same tree in JSON.
  const Result j = Inspect(SampleStream(), true);
  ASSERT_EQ(j.status, kExitOk) << j.err;
  const json doc = json::parse(j.out);

  EXPECT_EQ(doc.at("file"), "(standard input)");
  EXPECT_EQ(doc.at("size"), SampleStream().size());
  const json& stream = doc.at("stream");
  EXPECT_EQ(stream.at("form"), "object stream");
  EXPECT_EQ(stream.at("class"), "Invoice");
  EXPECT_EQ(stream.at("header"), json::parse(R"({"word": 17, "hex": "0x00000011", "version": 1,
      "kind": 16, "reserved": false, "empty": false, "dimensions": 0, "element_type": 0})"));
  const json& entries = stream.at("entries");
  EXPECT_EQ(*FindEntry(entries, "Number"),
            json::parse(R"({"key": "Number", "type": 3, "type_name": "Long", "value": 1001})"));
  EXPECT_EQ(FindEntry(entries, "TaxRate")->at("value"), 0.2);  // a Single, in its own shortest form
  EXPECT_EQ(FindEntry(entries, "Shipping")->at("value"), "7.5");

  const json& buyer = FindEntry(entries, "Buyer")->at("stream");
  EXPECT_EQ(buyer.at("class"), "Client");
  EXPECT_TRUE(FindEntry(buyer.at("entries"), "Notes")->at("value").is_null());
  EXPECT_EQ(FindEntry(buyer.at("entries"), "Address")->at("stream").at("class"), "Address");

  const json& array = FindEntry(entries, "Tags")->at("stream");
  EXPECT_EQ(array.at("form"), "array stream");
  EXPECT_EQ(array.at("element_type_name"), "String");
  EXPECT_EQ(array.at("bounds"), json::parse(R"([{"lower": 1, "upper": 3}])"));
  EXPECT_EQ(array.at("element_count"), 3);

  const json lines = FindEntry(entries, "Lines")->at("stream");
  EXPECT_EQ(lines.at("element_entries"), 0);
  EXPECT_EQ(lines.at("notes").size(), 1U);

  const json null_json = json::parse(Inspect(NullStream(), true).out).at("stream");
  EXPECT_EQ(null_json.at("class"), "Nothing");
  EXPECT_EQ(null_json.at("null_reference"), true);
  EXPECT_TRUE(null_json.at("entries").empty());
}

TEST(CliInspect, GraphStreamsShowReferencesAndObjectsInArrays) {
  // Doc "A" holds Section "B" in Sections(1); B's Owner is A, and B again in Sections(2).
  testing::GraphClasses classes;
  Replikon control(nullptr, classes.Registry());
  control.SetObjectServerName("Lib");
  control.SetPreserveIdentity(true);
  const ObjectRef a = classes.NewDoc("A");
  const ObjectRef b = classes.NewSection("B");
  testing::S(b).owner = a;
  testing::D(a).sections = testing::Objects(1, {b, b});
  const Bytes bytes = control.StreamFromObject(a).ToBytes();
  testing::S(b).owner = ObjectRef();

  const Result r = Inspect(bytes, false);
  ASSERT_EQ(r.status, kExitOk) << r.err;
  ExpectHolds(r.out, {
                         "(standard input): graph stream of class \"Doc\" (object 0)",
                         "kind 80 (graph stream)",
                         "  Sections: array stream of Object, 1 dimension",
                         "    [1] object stream of class \"Section\" (object 1)",
                         "      Owner: reference to object 0 at (root)",
                         "    [2] reference to object 1 at Sections(1)",
                     });
  EXPECT_EQ(r.out.find("is not rebuilt"), std::string::npos) << r.out;

  const json j = json::parse(Inspect(bytes, true).out).at("stream");
  EXPECT_EQ(j.at("graph"), true);
  EXPECT_EQ(j.at("object"), 0);
  const json& elements = FindEntry(j.at("entries"), "Sections")->at("stream").at("elements");
  ASSERT_EQ(elements.size(), 2u);
  EXPECT_EQ(elements[0].at("stream").at("object"), 1);
  const json& owner = FindEntry(elements[0].at("stream").at("entries"), "Owner")->at("stream");
  EXPECT_EQ(owner.at("form"), "reference");
  EXPECT_EQ(owner.at("object"), 0);
  EXPECT_EQ(owner.at("path"), "(root)");
  EXPECT_EQ(elements[1].at("stream").at("path"), "Sections(1)");

  // A reference to no object before it is named as such.
  Bytes forward = bytes;
  const std::string rf = std::string("@RF#\x03\x00", 6);
  const auto at = std::search(forward.begin(), forward.end(), rf.begin(), rf.end());
  ASSERT_NE(at, forward.end());
  at[6] = 7;
  const Result bad = Inspect(forward, false);
  ExpectHolds(bad.out, {"reference to object 7, ", "points to no object written before it"});
}

TEST(CliInspect, StrangeKeysAndValuesStayReadableAndLossless) {
  const std::string odd_key("k\x01\xff", 3);
  const std::string odd_value("a\"b\\c\n\t\x7f\xc3\x28\xe2\x82\xac\x00z", 15);
  const Bytes bytes = BagOf({{"@SF#", Variant(17)},
                             {"@OT#", Variant("Odd\nClass")},
                             {odd_key, Variant(odd_value)},
                             {"nan", Variant(std::numeric_limits<double>::quiet_NaN())},
                             {"raw", Variant(SafeArray::FromBytes(Bytes{1, 2, 3}))},
                             {"plain", Variant(SafeArray::FromBytes(BagOf({{"x", Variant(1)}})))}});

  const Result text = Inspect(bytes, false);
  ASSERT_EQ(text.status, kExitOk);
  for (char c : text.out) {
    EXPECT_FALSE(static_cast<unsigned char>(c) < 0x20 && c != '\n') << "raw control character";
  }
  ExpectHolds(text.out, {"object stream of class \"Odd\\nClass\"",
                         "k\\x01\\xff: String = \"a\\\"b\\\\c\\n\\t\\x7f\\xc3(\xe2\x82\xac\\x00z\"",
                         "raw: Byte(0 To 2), 3 bytes: 01 02 03",
                         "plain: property bag without a header word"});

  const Result r = Inspect(bytes, true);
  ASSERT_EQ(r.status, kExitOk);
  const json doc = json::parse(r.out);  // throws on invalid UTF-8 or escapes
  const json& entries = doc.at("stream").at("entries");
  EXPECT_NE(FindEntry(entries, "k\x01\xef\xbf\xbd"), nullptr) << r.out;
  EXPECT_EQ(FindEntry(entries, "nan")->at("value"), "NaN");
  EXPECT_EQ(FindEntry(entries, "plain")->at("stream").at("form"), "bag");
}

TEST(CliInspect, RefusesWhatIsNoStreamAndSurvivesAnyBytes) {
  ExpectHolds(Inspect({}, false).err, {"not a Stream: the input is empty"});
  ExpectHolds(Inspect(BagOf({{"@OT#", Variant("X")}}), false).err, {"without a header word"});
  EXPECT_EQ(Inspect(BagOf({{"@SF#", Variant(1)}}), false).status, kExitNo);

  // Every proper prefix of a Stream is refused, with nothing on standard output.
  const Bytes stream = NullStream();
  for (std::size_t n = 0; n < stream.size(); ++n) {
    const Result r = Inspect(Bytes(stream.begin(), stream.begin() + static_cast<long>(n)), true);
    EXPECT_EQ(r.status, kExitNo) << n;
    EXPECT_TRUE(r.out.empty()) << n;
  }

  // Flipped bytes anywhere in a real Stream (random bytes are the fuzz
  // target's): shown or refused, never a crash, and JSON that parses whenever it is written.
  const Bytes& sample = SampleStream();
  std::mt19937 random(20240315);
  for (std::size_t i = 0; i < sample.size(); i += 3) {
    Bytes mutated = sample;
    mutated[i] ^= static_cast<std::uint8_t>(1u << (random() % 8));
    const Result r = Inspect(mutated, true);
    ASSERT_TRUE(r.status == kExitOk || r.status == kExitNo) << r.status;
    EXPECT_TRUE(r.status != kExitOk || json::accept(r.out)) << r.out;
    EXPECT_EQ(Inspect(mutated, false).status, r.status);
  }
}

TEST(CliInspect, DeepNestingAndHugeBoundsCostLittle) {
  const Bytes deep = NestedObjectStreams(100000, "Node", "Left");
  const Result text = Inspect(deep, false);
  ASSERT_EQ(text.status, kExitOk);
  EXPECT_LT(std::count(text.out.begin(), text.out.end(), '\n'), 400);
  ExpectHolds(text.out, {"deeper than the depth limit"});
  const Result widest = Inspect(deep, true, kMaxInspectDepth);
  ASSERT_EQ(widest.status, kExitOk);
  EXPECT_EQ(json::parse(widest.out).at("stream").at("class"), "Node");
  EXPECT_EQ(RunCommand({"type", "-"}, AsString(deep)).out, "Node\n");

  // Five dimensions of 2^32 elements each, and an element bag of one entry.
  PropertyBag array;
  array.WriteProperty("@SF#", Variant(0x03050021));  // version 1, kind 32, 5 dimensions of Long
  for (int d = 1; d <= 5; ++d) {
    array.WriteProperty("D" + std::to_string(d), Variant(std::numeric_limits<std::int32_t>::min()));
    array.WriteProperty("G" + std::to_string(d), Variant(std::numeric_limits<std::int32_t>::max()));
  }
  array.WriteProperty("@AE#", Variant(SafeArray::FromBytes(BagOf({{"0.0.0.0.0", Variant(7)}}))));
  const Result huge = Inspect(array.Contents(), true);
  ASSERT_EQ(huge.status, kExitOk);
  const json stream = json::parse(huge.out).at("stream");
  EXPECT_EQ(stream.at("element_count"), std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(stream.at("elements").size(), 1U);
  EXPECT_EQ(stream.at("bounds").size(), 5U);
}

// ---- JSON back to Streams -------------------------------------------------------------

// A Stream whose entries JSON holds only with care: NaN payloads, negative
// zeros, bytes that are not UTF-8 in keys and strings, lower bounds, the
// extremes of currency and decimal, dates outside the calendar, the layout's
// entries out of their usual order, and bags that are no Stream.
Bytes AwkwardStream() {
  const std::string not_utf8("caf\xe9\xff", 5);
  const Bytes element_bag = BagOf({{"-1", Variant(std::string(not_utf8))}, {"0", Variant()}});
  const Bytes array = BagOf({{"D1", Variant(-1)},
                             {"@SF#", Variant(0x08010021)},
                             {"G1", Variant(0)},
                             {"@AE#", Variant(SafeArray::FromBytes(element_bag, 5))}});
  return BagOf({
      {"@OT#", Variant("Odd")},
      {"@SF#", Variant(17)},
      {"nan", Variant(std::bit_cast<double>(std::uint64_t{0x7ff8000000000123}))},
      {"single nan", Variant(std::bit_cast<float>(std::uint32_t{0xffc00001}))},
      {"minus zero", Variant(-0.0)},
      {"single", Variant(0.1F)},
      {"tiny", Variant(std::numeric_limits<double>::denorm_min())},
      {"infinite", Variant(-std::numeric_limits<double>::infinity())},
      {not_utf8, Variant(not_utf8)},
      {"", Variant(kNull)},
      {"cy", Variant(Currency{std::numeric_limits<std::int64_t>::min()})},
      {"dec", Variant(Decimal{0xFFFFFFFF, 0xFFFFFFFFFFFFFFFF, 28, true})},
      {"dec zero", Variant(Decimal{0, 0, 3, true})},
      {"date", Variant(Date{-1.25})},
      {"far date", Variant(Date{1e9})},
      {"error", Variant(ErrorCode{-2147352572})},
      {"byte", Variant(std::uint8_t{255})},
      {"short", Variant(std::int16_t{-32768})},
      {"yes", Variant(true)},
      {"unallocated", Variant(SafeArray::UnallocatedBytes())},
      {"no bytes", Variant(SafeArray::FromBytes({}, 7))},
      {"raw", Variant(SafeArray::FromBytes(Bytes{1, 2, 3, 4, 5}, -3))},
      {"array", Variant(SafeArray::FromBytes(array, -2))},
      {"bag", Variant(SafeArray::FromBytes(BagOf({{"x", Variant(1)}})))},
      {"@RF#", Variant(3)},
  });
}

// Every file of the fuzz corpus that is a Stream (some targets read a first
// byte of options: tried with and without it), the demo's files, and the ones
// above.
std::vector<std::pair<std::string, Bytes>> StreamSamples(const std::string& demo_dir) {
  std::vector<std::pair<std::string, Bytes>> samples;
  const auto add = [&](const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    const Bytes bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    samples.emplace_back(path.string(), bytes);
    if (!bytes.empty())
      samples.emplace_back(path.string() + " after its first byte",
                           Bytes(bytes.begin() + 1, bytes.end()));
  };
  for (const auto& entry : fs::recursive_directory_iterator(REPLIKON_FUZZ_CORPUS_DIR)) {
    if (entry.is_regular_file()) add(entry.path());
  }
  for (const auto& entry : fs::directory_iterator(demo_dir)) add(entry.path());
  samples.emplace_back("awkward", AwkwardStream());
  samples.emplace_back("deep", NestedObjectStreams(3000, "Node", "Left"));
  return samples;
}

std::optional<Bytes> Encode(const std::string& text, std::string& error) {
  std::istringstream in(text);
  Bytes out;
  if (!EncodeStreamJson(in, out, error)) return std::nullopt;
  return out;
}

TEST(CliEncode, EveryStreamComesBackFromEitherJsonFormAndDeepPathsStayShort) {
  TempDir dir;
  ASSERT_EQ(RunCommand({"demo", "--dir", dir.path().string()}).status, kExitOk);
  std::size_t streams = 0;
  for (const auto& [name, bytes] : StreamSamples(dir.path().string())) {
    std::ostringstream flat;
    std::string error;
    const bool compact = streams % 2 == 0;
    const InspectOptions options{
        .json = true, .compact = compact, .max_depth = kMaxInspectDepth, .name = ""};
    std::ostringstream nested;
    if (!WriteFlatJson(bytes, name, compact, flat, error)) {
      EXPECT_FALSE(InspectStreamBytes(bytes, options, nested, error)) << name;
      continue;
    }
    ++streams;
    EXPECT_EQ(Encode(flat.str(), error), bytes) << name << ": " << error;
    if (name == "deep") {
      const json last = json::parse(flat.str()).at("entries").back();
      EXPECT_EQ(last.at("depth"), 2999);
      // 16 levels from the root, the 32 nearest the entry, the rest left out.
      const std::string path = last.at("path");
      EXPECT_EQ(path.rfind("Node.Left.", 0), 0U);
      EXPECT_NE(path.find("\u2026"), std::string::npos);
      EXPECT_LT(path.size(), 300U);
    }

    ASSERT_TRUE(InspectStreamBytes(bytes, options, nested, error)) << name;
    if (nested.str().find("\"not_shown\"") != std::string::npos) {
      EXPECT_EQ(Encode(nested.str(), error), std::nullopt);
      EXPECT_NE(error.find("--max-depth"), std::string::npos) << error;
      continue;
    }
    EXPECT_EQ(Encode(nested.str(), error), bytes) << name << ": " << error;
  }
  EXPECT_GT(streams, 80U);
}

TEST(CliEncode, FlatFormIsEditableAndCheckedEntryByEntry) {
  const std::string head = R"({"form": "flat", "entries": [)";
  const auto encode = [&](const std::string& entries, std::string& error) {
    return Encode(head + entries + "]}", error);
  };
  std::string error;
  // Hand-written: dates as ISO text or days, numbers for currency, fields in any order.
  const auto bytes = encode(
      R"({"key": "@SF#", "type": 3, "value": 17, "depth": 0},
         {"depth": 0, "key": "@OT#", "type": 8, "value": "Made"},
         {"depth": 0, "key": "When", "type": 7, "value": "2024-02-29T12:00:00"},
         {"depth": 0, "key": "Cost", "type": 6, "value": 12},
         {"depth": 0, "key": "Child", "type": 8209, "stream": "object"},
         {"depth": 1, "key": "@SF#", "type": 3, "value": 529},
         {"depth": 0, "key": "After", "type": 11, "value": false})",
      error);
  ASSERT_TRUE(bytes) << error;
  const BagReader bag(*bytes);
  EXPECT_EQ(ToBStr(bag.ReadProperty("@OT#")), "Made");
  EXPECT_EQ(bag.ReadProperty("When").GetIf<Date>()->days, 45351.5);
  EXPECT_EQ(bag.ReadProperty("Cost").GetIf<Currency>()->scaled, 120000);
  EXPECT_EQ(Replikon().ObjectTypeName(SafeArray::FromBytes(*bag.ReadBytes("Child"))), "Nothing");
  EXPECT_EQ(bag.Entries().back().key, "After");

  for (
      const auto& [entries, message] : std::vector<std::pair<std::string, std::string>>{
          {R"({"depth": 0, "key": "a", "type": 2, "value": 40000})",
           "entry 1: \"value\" is out of range"},
          {R"({"depth": 0, "key": "a", "type": 9, "value": 1})", "type 9 cannot be stored"},
          {R"({"depth": 0, "key": "a", "type": 8209, "value": "AB$="})", "no base64"},
          {R"({"depth": 0, "key": "a", "type": 14, "value": "1.5e3"})", "no decimal"},
          {R"({"depth": 0, "key": "a", "type": 7, "value": "2023-02-29"})", "no date"},
          {R"({"depth": 0, "key": "a", "type": 3, "value": 1}, {"depth": 0, "path": "P", "key": "a", "type": 3, "value": 2})",
           "repeat a key"},
          {R"({"depth": 0, "key": "a", "type": 8209, "stream": "bag"}, {"depth": 1, "key": "b", "type": 3, "value": 1}, {"depth": 1, "key": "b", "type": 3, "value": 1})",
           "holds a key twice"},
          {R"({"depth": 0, "path": "X.y", "key": "y", "type": 3})", "entry 1 (X.y): no \"value\""},
          {"", "make no Stream"},
          {R"({"depth": 0, "key": "a", "type": 3, "value": 1})", "without a header word"},
      }) {
    EXPECT_EQ(encode(entries, error), std::nullopt) << entries;
    EXPECT_NE(error.find(message), std::string::npos) << error;
  }
  EXPECT_EQ(Encode("[1, 2]", error), std::nullopt);
  EXPECT_NE(error.find("no JSON object"), std::string::npos) << error;
  EXPECT_EQ(Encode(R"({"file": "x"})", error), std::nullopt);
  EXPECT_NE(error.find("neither form"), std::string::npos) << error;
}

// ---- JSON writer ---------------------------------------------------------------------

TEST(JsonWriter, EscapesWhatJsonCannotHoldRawAndRefusesMisuse) {
  const auto quoted = [](const std::string& text) {
    std::string out;
    AppendJsonString(out, text);
    return out;
  };
  std::string all_controls;
  for (int c = 0; c < 0x20; ++c) all_controls += static_cast<char>(c);
  EXPECT_EQ(json::parse(quoted(all_controls + "\"\\/")), all_controls + "\"\\/");

  // Malformed UTF-8: a stray continuation, an overlong form, a surrogate, a
  // truncated sequence, a byte that never starts one; each bad byte is U+FFFD.
  const std::string bad("\x80|\xc0\x80|\xed\xa0\x80|\xe2\x82|\xf5", 13);
  const std::string fffd = "\xef\xbf\xbd";
  EXPECT_EQ(json::parse(quoted(bad)).get<std::string>(),
            fffd + "|" + fffd + fffd + "|" + fffd + fffd + fffd + "|" + fffd + fffd + "|" + fffd);
  EXPECT_FALSE(IsValidUtf8(bad));
  EXPECT_TRUE(IsValidUtf8("\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80"));
  EXPECT_EQ(quoted("\xc3\xa9\xf0\x9f\x98\x80"), "\"\xc3\xa9\xf0\x9f\x98\x80\"");

  // Well-formed documents; misuse refused.
  std::ostringstream out;
  JsonWriter w(out, 0);
  w.BeginObject();
  w.Field("a", std::int64_t{-3});
  w.Key("b");
  w.BeginArray();
  w.Double(0.1);
  w.Double(std::numeric_limits<double>::infinity());
  w.Null();
  w.BeginObject();
  w.EndObject();
  w.BeginArray();
  w.EndArray();
  w.EndArray();
  w.Field("c", true);
  w.Field("d", std::uint64_t{18446744073709551615U});
  w.EndObject();
  w.Finish();
  EXPECT_EQ(out.str(),
            "{\"a\":-3,\"b\":[0.1,\"Infinity\",null,{},[]],\"c\":true,"
            "\"d\":18446744073709551615}\n");

  std::ostringstream sink;
  JsonWriter misused(sink);
  misused.BeginObject();
  EXPECT_THROW(misused.Int(1), std::logic_error);  // a value without a key
  EXPECT_THROW(misused.EndArray(), std::logic_error);
  EXPECT_THROW(misused.Finish(), std::logic_error);
  JsonWriter outside(sink);
  EXPECT_THROW(outside.Key("k"), std::logic_error);
}

TEST(TerminalText, EscapesWrapsAndListsErrorDetails) {
  EXPECT_EQ(EscapeForTerminal(std::string("a\tb\x1b[31m\xff\xc3\xa9\"", 12), true),
            "\"a\\tb\\x1b[31m\\xff\xc3\xa9\\\"\"");
  EXPECT_EQ(EscapeForTerminal("say \"hi\"", false), "say \"hi\"");

  const std::string wrapped = WrapText("one two three four five six seven", 2, 14);
  EXPECT_EQ(wrapped, "  one two\n  three four\n  five six\n  seven\n");
  EXPECT_EQ(WrapText("averyveryverylongword x", 0, 5), "averyveryverylongword\nx\n");

  // An error lists its details under its line.
  std::ostringstream out;
  WriteError(out, "replikon: ",
             AutomationError(601, "Problem(s) in processing occurred", "replictl.hlp", 1601, {},
                             std::vector<std::string>{"Invoice.Carrier: gone", "bell\a"}),
             2);
  EXPECT_EQ(out.str(),
            "replikon: error 601: Problem(s) in processing occurred\n"
            "  - Invoice.Carrier: gone\n"
            "  - bell\\x07\n");
  std::ostringstream bare;
  WriteError(bare, "replikon: ", AutomationError(1234, ""), 4);
  EXPECT_EQ(bare.str(), "replikon: error 1234\n");
}

// ---- The graph comparison -----------------------------------------------------------------

// The demo shows the rest: a copy found equal, its notes, what is not
// compared, and each kind of difference with its explanation.
TEST(GraphCompare, FindsEachChangeByItsPathAndFollowsCyclesAndLongChains) {
  orders::RegisterOrdersServer();
  Replikon control;
  control.SetObjectServerName(orders::kServerName);
  control.SetProblemsNotification(ProblemsNotificationConstants::SourceObjectOnly);
  control.SetSetExternalReferences(true);
  const auto compare = [](const ObjectRef& a, const ObjectRef& b) {
    return CompareGraphs(a, b, ClassRegistry::Global(), orders::kServerName);
  };
  const ObjectRef original = orders::MakeSampleInvoice();
  const ObjectRef copy = control.Copy(original);
  copy.As<orders::Invoice>()->buyer.As<orders::Client>()->address.As<orders::Address>()->city =
      "Southampton";
  copy.As<orders::Invoice>()->tags.Set({2}, Variant("domestic"));

  const GraphComparison changed = compare(original, copy);
  ASSERT_EQ(changed.differences.size(), 2U);
  const PropertyDifference& city = changed.differences[0];
  EXPECT_EQ(city.path, "Invoice.Buyer.Address.City");
  EXPECT_EQ(city.kind, DifferenceKind::Value);
  EXPECT_EQ(city.original, "\"Portsmouth\"");
  EXPECT_EQ(city.other, "\"Southampton\"");
  EXPECT_EQ(changed.differences[1].path, "Invoice.Tags(2)");

  // Cycles and long chains, followed without recursion: a chain of nodes whose
  // last node points back at the first.
  constexpr int kLength = 50000;
  ObjectRef first = CreateByProgId("OrdersLib.Node");
  ObjectRef last = first;
  for (int i = 1; i < kLength; ++i) {
    ObjectRef next = CreateByProgId("OrdersLib.Node");
    next.As<orders::Node>()->number = i;
    last.As<orders::Node>()->left = next;
    last = next;
  }
  last.As<orders::Node>()->right = first;
  const ObjectRef chain_copy = control.Copy(first);
  ASSERT_FALSE(chain_copy.IsNull());

  const GraphComparison same = compare(first, chain_copy);
  EXPECT_TRUE(same.differences.empty());
  EXPECT_EQ(same.objects, static_cast<std::size_t>(kLength));
  ASSERT_EQ(same.notes.size(), 1U);
  EXPECT_NE(same.notes[0].text.find("points back"), std::string::npos);
  EXPECT_EQ(CountGraph(first).objects, static_cast<std::size_t>(kLength));

  // The copy's back-pointer dropped, and one value changed deep down.
  ObjectRef copy_last = chain_copy;
  for (int i = 1; i < kLength; ++i) copy_last = copy_last.As<orders::Node>()->left;
  copy_last.As<orders::Node>()->right = ObjectRef();
  copy_last.As<orders::Node>()->ratio = 2.5;
  const GraphComparison chain = compare(first, chain_copy);
  ASSERT_EQ(chain.differences.size(), 2U);
  EXPECT_EQ(chain.differences[0].kind, DifferenceKind::Value);
  EXPECT_EQ(chain.differences[1].kind, DifferenceKind::BackPointerMissing);
  EXPECT_TRUE(chain.differences[1].path.ends_with(".Left.Right"));

  last.As<orders::Node>()->right = ObjectRef();  // the cycle broken, both chains go
}

// ---- The demo and loading ----------------------------------------------------------

TEST(CliDemo, RunsTheWholeRoadAndExplainsTheDifferences) {
  TempDir dir;
  const Result r = RunCommand({"demo", "--dir", dir / "out"});
  ASSERT_EQ(r.status, kExitOk) << r.err << r.out;
  ExpectHolds(
      r.out,
      {
          "    Invoice.Buyer -> [Client]\n      Client.Address -> [Address]\n",
          "      Line.Parent -> [Invoice], already on the path: a cycle\n",
          "    Invoice.Carrier -> [Carrier], external: OrdersLib does not make it   "
          "[ErrorStatus 601, Cancel True]",
          "-> error 601 \"Problem(s) in processing occurred\"",
          "the same bytes; IsStream True, ObjectTypeName \"Invoice\"",
          "IsStream False, ObjectTypeName \"Array\"",
          "The copy: 4 objects, ",
          "properties compared; all equal.",
          "    (Invoice.Carrier: the same external Carrier object as the original's)\n",
          "  Not compared: Client.Password (write-only), Invoice.ApprovalCode\n  (write-only), "
          "Invoice.Note (takes arguments).\n",
          "      Memo is declared as Variant and held an object.",
          "      An external subobject: OrdersLib cannot create a Carrier,",
          "Invoice.Memo: [Line]  ->  Empty",
          "Invoice.Lines: Variant(0 To 1) {[Line], [Line]}  ->  Variant(0 To 1) {Empty, Empty}",
          "Invoice.Carrier: [Carrier]  ->  Nothing",
          "Invoice.Buyer.Notes: Null  ->  Empty",
          "6. Whole graphs: PreserveIdentity\n",
          "  default:                Copy -> 2 Lines, the original's own (shared, not copied)\n",
          " bytes -> Lines Variant(0 To 1) {Empty, Empty}\n",
          "  PreserveIdentity True:  Copy -> 2 new Lines; Parent -> this invoice; one shared "
          "Product\n",
          " bytes -> 2 new Lines; Parent -> this invoice; one shared Product\n",
      });
  std::ofstream(dir / "plain").put('x');
  const Result bad_dir = RunCommand({"demo", "--dir", dir / "plain"});
  EXPECT_EQ(bad_dir.status, kExitNo);
  ExpectHolds(bad_dir.err, {dir / "plain"});
}

// `replikon load` rebuilds through the sample server's library alone: the
// command's own registry never sees the server compiled into the tests.
TEST(CliLoad, RebuildsThroughTheServerLibraryAndListsWhatWasLost) {
  const std::string servers = REPLIKON_TEST_SERVERS_DIR;
  TempDir dir;
  ClassRegistry registry;
  // OrdersLib with one class more than its library has.
  Server wider = orders::MakeOrdersServer();
  wider.Class<orders::Address>("Annex").Property("City", &orders::Address::city);
  registry.Register(wider);
  registry.Register(orders::MakeOtherServer());
  Replikon control(nullptr, registry);
  control.SetObjectServerName(orders::kServerName);
  control.SetProblemsNotification(ProblemsNotificationConstants::SourceObjectOnly);
  const ObjectRef invoice = orders::MakeSampleInvoice(registry);
  control.StreamToFile(control.StreamFromObject(invoice), dir / "invoice.stream");
  const ObjectRef annex = registry.CreateByProgId("OrdersLib.Annex");
  annex.As<orders::Address>()->city = "Split";
  invoice.As<orders::Invoice>()->buyer = annex;
  control.StreamToFile(control.StreamFromObject(invoice), dir / "annex.stream");
  control.StreamToFile(control.StreamFromObject(annex), dir / "annex-root.stream");

  const auto load = [&](const char* file, std::vector<std::string> more = {}) {
    more.insert(more.begin(),
                {"load", dir / file, "--server", "OrdersLib", "--server-path", servers});
    return RunCommand(more);
  };
  const Result whole = load("invoice.stream");
  EXPECT_EQ(whole.status, kExitOk) << whole.err << whole.out;
  ExpectHolds(whole.out, {"objects.\n\n#0 Invoice\n", "  Number = ", "  Buyer = [Client] -> #1",
                          "#1 Client\n", "Not restored:\n",
                          "  Invoice entry \"Status\": left unread (a read-only property)\n"});

  const Result lost = load("annex.stream");
  EXPECT_EQ(lost.status, kExitOk) << lost.err << lost.out;
  ExpectHolds(lost.out,
              {"#0 Invoice\n", "Not restored:\n", "  class Annex: OrdersLib cannot make it\n",
               "  Invoice.Buyer: not made (error 601)\n"});
  const Result json_run = load("annex.stream", {"--json"});
  EXPECT_EQ(json_run.status, kExitOk);
  const json doc = json::parse(json_run.out);
  EXPECT_EQ(doc["server"], "OrdersLib");
  EXPECT_EQ(doc["objects"][0]["class"], "Invoice");
  EXPECT_EQ(doc["classes_not_made"], json::array({"Annex"}));
  EXPECT_EQ(doc["objects_not_made"][0]["where"], "Invoice.Buyer");

  const Result root_lost = load("annex-root.stream");
  EXPECT_EQ(root_lost.status, kExitNo);
  ExpectHolds(root_lost.err, {"cannot be rebuilt with the server OrdersLib: error 601"});
}

}  // namespace
}  // namespace replikon::cli
