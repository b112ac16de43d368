#include "replikon/automation/property_bag.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "automation/bag_codec.hpp"
#include "replikon/automation/error.hpp"
#include "test_support.hpp"

namespace replikon {
namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace errors;
using test_support::BagOf;

// Builds raw bag bytes for tests of what the reader refuses.
struct Raw {
  Bytes b;
  Raw& u8(std::uint8_t v) {
    b.push_back(v);
    return *this;
  }
  Raw& u16(std::uint16_t v) { return u8(v & 0xFF).u8(v >> 8); }
  Raw& u32(std::uint32_t v) { return u16(v & 0xFFFF).u16(v >> 16); }
  Raw& str(std::string_view s) {
    b.insert(b.end(), s.begin(), s.end());
    return *this;
  }
  Raw& header(std::uint32_t count) { return str("RKPB").u16(1).u16(0).u32(count); }
  Raw& key(std::string_view k, std::uint16_t type) {
    return u32(static_cast<std::uint32_t>(k.size())).str(k).u16(type);
  }
};

// Runs `f`, which must raise AutomationError `number`; gives its description.
template <class F>
std::string ExpectError(std::int32_t number, F&& f) {
  const AutomationError e = test_support::ErrorFrom(f);
  EXPECT_EQ(e.Number(), number) << e.Description();
  return e.Description();
}

// The same bytes must be refused by every reading path.
void ExpectRefused(const Bytes& bytes, const std::string& expected_fragment = {}) {
  SCOPED_TRACE(::testing::PrintToString(bytes.size()) + " bytes");
  EXPECT_FALSE(BagReader::TryParse(bytes).has_value());
  const std::string description =
      ExpectError(kInvalidProcedureCall, [&] { BagReader reader(bytes); });
  EXPECT_EQ(description.rfind("Invalid property bag contents: ", 0), 0u) << description;
  if (!expected_fragment.empty()) {
    EXPECT_NE(description.find(expected_fragment), std::string::npos) << description;
  }
  PropertyBag bag;
  bag.WriteProperty("kept", Variant(7));
  ExpectError(kInvalidProcedureCall, [&] { bag.SetContents(bytes); });
  ASSERT_EQ(bag.Size(), 1u);
  EXPECT_EQ(bag.ReadProperty("kept"), Variant(7));
}

// One of every kind of value a bag holds, with the awkward cases.
std::vector<std::pair<std::string, Variant>> AllKinds() {
  return {
      {"empty", Variant()},
      {"null", Variant(kNull)},
      {"i2min", Variant(std::numeric_limits<std::int16_t>::min())},
      {"i2max", Variant(std::numeric_limits<std::int16_t>::max())},
      {"i4", Variant(-123456789)},
      {"r4negzero", Variant(-0.0f)},
      {"r4nan", Variant(std::bit_cast<float>(0x7FA00001u))},
      {"r8negzero", Variant(-0.0)},
      {"r8nan", Variant(std::bit_cast<double>(0xFFF8DEADBEEF0001ull))},
      {"r8inf", Variant(std::numeric_limits<double>::infinity())},
      {"cymin", Variant(Currency{std::numeric_limits<std::int64_t>::min()})},
      {"cymax", Variant(Currency{std::numeric_limits<std::int64_t>::max()})},
      {"date", Variant(Date{45000.75})},
      {"datenan", Variant(Date{std::bit_cast<double>(0x7FF0000000000123ull)})},
      {"emptystr", Variant(std::string())},
      {"nulstr", Variant(std::string("a\0b\0", 4))},
      {"error", Variant::Missing()},
      {"true", Variant(true)},
      {"false", Variant(false)},
      {"decimal", Variant(Decimal{0xFFFFFFFFu, 0xFFFFFFFFFFFFFFFFull, 28, true})},
      {"decnegzero", Variant(Decimal{0, 0, 3, true})},
      {"byte", Variant(std::uint8_t{255})},
      {"bytes", Variant(SafeArray::FromBytes(Bytes{1, 0, 255}))},
      {"nobytes", Variant(SafeArray::FromBytes(Bytes{}))},
      {"unallocated", Variant(SafeArray::UnallocatedBytes())},
      {"lowerbound", Variant(SafeArray::FromBytes(Bytes{9, 8}, -5))},
      {"topbound",
       Variant(SafeArray::FromBytes(Bytes{42}, std::numeric_limits<std::int32_t>::max()))},
      {"", Variant(1)},  // the empty key
  };
}

// All kinds, and a bag nested as a byte array.
Bytes AllKindsAndANestedBag() {
  auto entries = AllKinds();
  entries.emplace_back("nested", Variant(SafeArray::FromBytes(BagOf({{"x", Variant("y")}}))));
  return BagOf(entries);
}

// ---------------------------------------------------------------------------
// Layout

TEST(PropertyBagFormat, ProducesTheDocumentedBytesForEachValue) {
  const Bytes bag = BagOf({{"@SF#", Variant(17)},
                           {"@OT#", Variant("Client")},
                           {"Tags", Variant(SafeArray::FromBytes(Bytes{0xAB, 0xCD}))}});
  const Bytes expected = {0x52, 0x4b, 0x50, 0x42, 0x01, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00,
                          0x04, 0x00, 0x00, 0x00, 0x40, 0x53, 0x46, 0x23, 0x03, 0x00, 0x11, 0x00,
                          0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x40, 0x4f, 0x54, 0x23, 0x08, 0x00,
                          0x06, 0x00, 0x00, 0x00, 0x43, 0x6c, 0x69, 0x65, 0x6e, 0x74, 0x04, 0x00,
                          0x00, 0x00, 0x54, 0x61, 0x67, 0x73, 0x11, 0x20, 0x01, 0x00, 0x00, 0x00,
                          0x00, 0x02, 0x00, 0x00, 0x00, 0xab, 0xcd};
  EXPECT_EQ(bag, expected);
  EXPECT_EQ(PropertyBag().Contents(), (Bytes{'R', 'K', 'P', 'B', 1, 0, 0, 0, 0, 0, 0, 0}));

  // Each scalar's type code and payload.
  auto payload = [](const Variant& v) {
    const Bytes all = BagOf({{"k", v}});
    // header 12, key length 4, key 1, then the type and the payload
    return Bytes(all.begin() + 17, all.end());
  };
  EXPECT_EQ(payload(Variant(true)), (Bytes{11, 0, 0xFF, 0xFF}));
  EXPECT_EQ(payload(Variant(false)), (Bytes{11, 0, 0, 0}));
  EXPECT_EQ(payload(Variant(std::int16_t{-2})), (Bytes{2, 0, 0xFE, 0xFF}));
  EXPECT_EQ(payload(Variant(Currency{-1})),
            (Bytes{6, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(payload(Variant(1.0)), (Bytes{5, 0, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F}));
  EXPECT_EQ(payload(Variant(Decimal{0x01020304u, 0x05060708090A0B0Cull, 4, true})),
            (Bytes{14, 0, 4, 0x80, 0, 0, 4, 3, 2, 1, 0x0C, 0x0B, 0x0A, 9, 8, 7, 6, 5}));
  EXPECT_EQ(payload(Variant(SafeArray::UnallocatedBytes())), (Bytes{0x11, 0x20, 0}));
  EXPECT_EQ(payload(Variant(SafeArray::FromBytes(Bytes{7}, -1))),
            (Bytes{0x11, 0x20, 1, 0xFF, 0xFF, 0xFF, 0xFF, 1, 0, 0, 0, 7}));
}

// ---------------------------------------------------------------------------
// Round trips

TEST(PropertyBagRoundTrip, KeepsEveryValueBitForBit) {
  const auto entries = AllKinds();
  const Bytes bytes = BagOf(entries);

  PropertyBag loaded;
  loaded.SetContents(bytes);
  ASSERT_EQ(loaded.Size(), entries.size());
  const BagReader reader(bytes);
  ASSERT_EQ(reader.Size(), entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const auto& [key, value] = entries[i];
    SCOPED_TRACE(key);
    // == compares the type and the bits (a NaN's payload, the sign of zero),
    // the whole of a string, an array's bounds and whether it is allocated.
    EXPECT_EQ(loaded.Entries()[i].first, key);
    EXPECT_EQ(loaded.ReadProperty(key), value);
    EXPECT_EQ(reader.ReadProperty(key), value);
    EXPECT_EQ(reader.Entries()[i].key, key);
  }
  EXPECT_EQ(loaded.Contents(), bytes);

  // ContentsArray is a zero-based copy of Contents, and loads the same.
  const SafeArray array = loaded.ContentsArray();
  EXPECT_EQ(array.Bounds()[0].lower, 0);
  PropertyBag again;
  again.SetContents(Variant(array));
  EXPECT_EQ(again.Contents(), bytes);
}

// ---------------------------------------------------------------------------
// Writing and reading with defaults

TEST(PropertyBagWrite, ReplacesInPlaceAndDefaultsRemoveEqualValues) {
  for (int size : {3, 9, 40}) {  // without and with an index
    SCOPED_TRACE(size);
    PropertyBag bag;
    for (int i = 0; i < size; ++i) bag.WriteProperty("k" + std::to_string(i), Variant(i));
    for (int i = 0; i < size; ++i) EXPECT_EQ(bag.ReadProperty("k" + std::to_string(i)), Variant(i));
    bag.WriteProperty("k1", Variant("new"));
    EXPECT_EQ(bag.Size(), static_cast<std::size_t>(size));
    EXPECT_EQ(bag.Entries()[1].first, "k1");
    EXPECT_EQ(bag.ReadProperty("k1"), Variant("new"));
    // Keys are exact.
    bag.WriteProperty("K1", Variant(1));
    EXPECT_EQ(bag.Size(), static_cast<std::size_t>(size) + 1);
    EXPECT_EQ(bag.ReadProperty("k1"), Variant("new"));
    // Equal to its default: an earlier entry goes, and the rest stay findable.
    bag.WriteProperty("k1", Variant(5), Variant(5));
    EXPECT_FALSE(bag.Contains("k1"));
    EXPECT_EQ(bag.Size(), static_cast<std::size_t>(size));
    for (int i = 2; i < size; ++i) EXPECT_EQ(bag.ReadProperty("k" + std::to_string(i)), Variant(i));
    // Absent and equal to its default: nothing is stored.
    bag.WriteProperty("new", Variant(true), Variant(true));
    EXPECT_FALSE(bag.Contains("new"));
    // Equality is by type as well as value.
    bag.WriteProperty("typed", Variant(std::int16_t{5}), Variant(5));
    EXPECT_EQ(bag.ReadProperty("typed"), Variant(std::int16_t{5}));
    // Rewritten, a removed key goes to the end.
    bag.WriteProperty("k1", Variant(1));
    EXPECT_EQ(bag.Entries().back().first, "k1");
  }
}

TEST(PropertyBagWrite, RefusesValuesItCannotHold) {
  std::vector<Variant> refused = {
      Variant(ObjectRef()),
      Variant(SafeArray(VarType::I4, {ArrayBound{0, 2}})),
      Variant(SafeArray(VarType::Variant, {ArrayBound{0, 0}})),
      Variant(SafeArray(VarType::UI1, {ArrayBound{0, 1}, ArrayBound{0, 1}})),
      Variant(SafeArray(VarType::I2)),  // unallocated, but not bytes
      Variant(Decimal{0, 1, 29, false}),
  };
  PropertyBag bag;
  bag.WriteProperty("x", Variant(1));
  const Bytes before = bag.Contents();
  for (const Variant& v : refused) {
    SCOPED_TRACE(static_cast<int>(Code(v.Type())));
    EXPECT_FALSE(BagCanHold(v));
    ExpectError(kTypeMismatch, [&] { bag.WriteProperty("x", v); });
    ExpectError(kTypeMismatch, [&] { bag.WriteProperty("y", v); });
    EXPECT_EQ(bag.Contents(), before);

    Bytes out = {0xEE};
    BagWriter writer(out);
    const Bytes started = out;
    ExpectError(kTypeMismatch, [&] { writer.Write("x", v); });
    EXPECT_EQ(out, started);
    EXPECT_EQ(writer.EntryCount(), 0u);
  }
}

TEST(PropertyBagWrite, SetContentsNeedsBytesAndReplacesEverythingAbsentKeysGiveTheDefault) {
  PropertyBag bag;
  for (int i = 0; i < 30; ++i) bag.WriteProperty(std::to_string(i), Variant(i));
  ExpectError(kTypeMismatch, [&] { bag.SetContents(Variant(1)); });
  ExpectError(kTypeMismatch, [&] {
    bag.SetContents(Variant(SafeArray(VarType::I4, {ArrayBound{0, 11}})));
  });
  ExpectError(kInvalidProcedureCall,
              [&] { bag.SetContents(Variant(SafeArray::UnallocatedBytes())); });
  EXPECT_EQ(bag.Size(), 30u);
  bag.SetContents(BagOf({{"b", Variant(2)}}));
  EXPECT_EQ(bag.Size(), 1u);
  EXPECT_FALSE(bag.Contains("1"));
  bag.WriteProperty("c", Variant(3));  // works on after a swap of index kinds
  EXPECT_EQ(bag.ReadProperty("c"), Variant(3));

  // An absent key gives the default, Missing unless one is given.
  EXPECT_TRUE(bag.ReadProperty("a").IsMissing());
  EXPECT_EQ(bag.ReadProperty("a", Variant(std::int16_t{0})), Variant(std::int16_t{0}));
  EXPECT_EQ(bag.ReadProperty("a", Variant(kNull)), Variant(kNull));
  EXPECT_EQ(bag.ReadProperty("b", Variant("x")), Variant(2));
  const Bytes bytes = bag.Contents();
  const BagReader reader(bytes);
  EXPECT_TRUE(reader.ReadProperty("a").IsMissing());
  EXPECT_EQ(reader.ReadProperty("a", Variant("")), Variant(""));
}

// ---------------------------------------------------------------------------
// BagWriter

TEST(BagWriter, NestedBagsInPlaceEqualStoredByteArraysAndBadTokensAreRefused) {
  const Bytes middle =
      BagOf({{"@SF#", Variant(17)},
             {"Child", Variant(SafeArray::FromBytes(BagOf({{"@SF#", Variant(529)}})))}});
  const Bytes outer = BagOf({{"@SF#", Variant(17)},
                             {"Buyer", Variant(SafeArray::FromBytes(middle))},
                             {"Number", Variant(42)}});

  Bytes out;
  BagWriter top(out);
  // Pending tokens that do not fit are refused, and change nothing.
  ExpectError(kInvalidProcedureCall, [&] { top.EndBytes(BagWriter::Pending{1000, 900}); });
  ExpectError(kInvalidProcedureCall, [&] { top.AbandonBytes(BagWriter::Pending{4, 2}); });
  top.Write("@SF#", Variant(17));
  const auto buyer = top.BeginBytes("Buyer");
  {
    BagWriter mid(out);
    mid.Write("@SF#", Variant(17));
    const auto child = mid.BeginBytes("Child");
    {
      BagWriter leaf(out);
      leaf.Write("@SF#", Variant(529));
      leaf.Finish();
    }
    mid.EndBytes(child);
    mid.Finish();
  }
  top.EndBytes(buyer);
  top.Write("Number", Variant(42));
  top.Finish();
  EXPECT_EQ(out, outer);

  // The nested bag reads in place, without a copy.
  const BagReader reader(out);
  const auto view = reader.ReadBytes("Buyer");
  ASSERT_TRUE(view.has_value());
  EXPECT_GE(view->data(), out.data());
  EXPECT_LE(view->data() + view->size(), out.data() + out.size());
  const BagReader nested(*view);
  EXPECT_EQ(nested.ReadProperty("@SF#"), Variant(17));
  const auto leaf = nested.ReadBytes("Child");
  ASSERT_TRUE(leaf.has_value());
  EXPECT_EQ(BagReader(*leaf).ReadProperty("@SF#"), Variant(529));
}

// Keys, bytes and strings (WriteString, which the Stream writer uses for class
// names, writes what Write does with a string Variant) that lie in the
// writer's own buffer, which grows meanwhile.
TEST(BagWriter, CopiesKeysBytesAndStringsFromItsOwnBuffer) {
  const Bytes payload = {1, 2, 3, 4, 5, 6, 7, 8};
  Bytes out;
  BagWriter writer(out);
  writer.WriteBytes("firstsecond", payload);
  out.shrink_to_fit();  // so that the next entries move the buffer
  // header 12, key length 4, key 11, type 2, dims/lower/count 9
  const std::span<const std::uint8_t> bytes_view(out.data() + 12 + 4 + 11 + 2 + 9, 8);
  const std::string_view first(reinterpret_cast<const char*>(out.data()) + 16, 5);
  writer.WriteBytes(first, bytes_view);
  const std::string_view second(reinterpret_cast<const char*>(out.data()) + 21, 6);
  writer.Write(second, Variant(1));
  const std::string long_text(300, 'q');
  writer.WriteString("", "");
  writer.WriteString("Long", long_text);
  out.shrink_to_fit();
  // The key of the entry before.
  writer.WriteString("Again", std::string_view(reinterpret_cast<const char*>(out.data()) +
                                                   out.size() - long_text.size() - 10,
                                               4));
  writer.Finish();

  const Variant bytes(SafeArray::FromBytes(payload));
  EXPECT_EQ(out, BagOf({{"firstsecond", bytes},
                        {"first", bytes},
                        {"second", Variant(1)},
                        {"", Variant(std::string())},
                        {"Long", Variant(long_text)},
                        {"Again", Variant("Long")}}));
}

// ---------------------------------------------------------------------------
// BagReader

TEST(BagReader, FindsInAnyOrderReadsBytesOfAllocatedByteArraysAndChecksHandMadeEntries) {
  // A BagWriter appends to what the buffer holds the bytes PropertyBag gives.
  Bytes bytes = {1, 2, 3};
  BagWriter writer(bytes);
  for (const auto& [k, v] : AllKinds()) writer.Write(k, v);
  writer.Finish();
  bytes.erase(bytes.begin(), bytes.begin() + 3);
  ASSERT_EQ(bytes, BagOf(AllKinds()));
  const BagReader reader(bytes);
  EXPECT_FALSE(reader.ReadBytes("unallocated").has_value());
  EXPECT_FALSE(reader.ReadBytes("i4").has_value());
  EXPECT_FALSE(reader.ReadBytes("absent").has_value());
  ASSERT_TRUE(reader.ReadBytes("nobytes").has_value());
  EXPECT_TRUE(reader.ReadBytes("nobytes")->empty());
  const auto lb = reader.ReadBytes("lowerbound");
  ASSERT_TRUE(lb.has_value());
  EXPECT_EQ(Bytes(lb->begin(), lb->end()), (Bytes{9, 8}));

  // Decode checks entries made by hand.
  const auto decode = [](VarType type, std::span<const std::uint8_t> payload) {
    return BagReader::Decode(BagReader::Entry{"k", type, payload});
  };
  const std::uint8_t two[2] = {1, 2};
  const std::uint8_t lying[9] = {1, 0, 0, 0, 0, 100, 0, 0, 0};  // claims 100 bytes
  ExpectError(kInvalidProcedureCall, [&] { decode(VarType::I4, two); });
  ExpectError(kInvalidProcedureCall, [&] { decode(VarType::Dispatch, {}); });
  ExpectError(kInvalidProcedureCall, [&] { decode(kByteArrayType, lying); });
  ExpectError(kInvalidProcedureCall, [&] { decode(VarType::I2, lying); });  // bytes left over
  EXPECT_EQ(decode(VarType::I2, two), Variant(std::int16_t{0x0201}));

  // Find prefers the next entry, but finds them in any order.
  for (int size : {5, 200}) {
    SCOPED_TRACE(size);
    PropertyBag bag;
    for (int i = 0; i < size; ++i) bag.WriteProperty("p" + std::to_string(i), Variant(i));
    const Bytes contents = bag.Contents();
    const BagReader finder(contents);
    EXPECT_EQ(finder.Find("p3"), &finder.Entries()[3]);
    EXPECT_EQ(finder.Find("p4"), &finder.Entries()[4]);
    EXPECT_EQ(finder.Find("p0"), &finder.Entries()[0]);
    EXPECT_EQ(finder.Find("nope"), nullptr);
    EXPECT_EQ(finder.Find("p1"), &finder.Entries()[1]);
    EXPECT_EQ(finder.Find("p1"), &finder.Entries()[1]);  // twice in a row
  }
}

// ---------------------------------------------------------------------------
// Bytes that are no bag

TEST(BagLoading, RefusesBadHeadersCountsAndLengthsPastTheEnd) {
  ExpectRefused({}, "too short");
  ExpectRefused(Raw().str("RKPB").u16(1).u16(0).b, "too short");
  ExpectRefused(Raw().str("RKPX").u16(1).u16(0).u32(0).b, "signature");
  ExpectRefused(Raw().str("RKPB").u16(2).u16(0).u32(0).b, "version 2");
  ExpectRefused(Raw().str("RKPB").u16(0).u16(0).u32(0).b, "version 0");
  ExpectRefused(Raw().str("RKPB").u16(1).u16(1).u32(0).b, "flags");
  ExpectRefused(Raw().header(0xFFFFFFFFu).b, "entry count 4294967295");
  ExpectRefused(Raw().header(2).key("a", 0).b, "entry count 2");
  ExpectRefused(Raw().header(1).u32(0xFFFFFFFFu).u16(0).b, "truncated entry 1 at offset 12");
  ExpectRefused(Raw().header(1).u32(0xFFFFFFF0u).str("ab").u16(0).b, "the key");
  ExpectRefused(Raw().header(1).key("s", 8).u32(0xFFFFFFFFu).b, "the string");
  ExpectRefused(Raw().header(1).key("s", 8).u32(0xFFFFFFFCu).str("abcd").b, "the string");
  ExpectRefused(Raw().header(1).key("b", 8209).u8(1).u32(0).u32(0xFFFFFFFFu).b, "the bytes");
  ExpectRefused(Raw().header(1).key("b", 8209).u8(1).u32(0).b, "the bounds");
  ExpectRefused(Raw().header(2).key("a", 0).key("b", 3).u16(1).b, "truncated entry 2 at offset 19");
}

TEST(BagLoading, RefusesInvalidValuesDuplicateKeysAndTrailingBytes) {
  for (std::uint16_t code : {9, 12, 13, 15, 16, 18, 20, 0x2003, 0x200C, 0x4011, 0xFFFF}) {
    SCOPED_TRACE(code);
    ExpectRefused(Raw().header(1).key("k", code).u32(0).u32(0).u32(0).u32(0).b,
                  "unknown type code");
  }
  ExpectRefused(Raw().header(1).key("b", 11).u16(1).b, "invalid Boolean 1");
  ExpectRefused(Raw().header(1).key("b", 11).u16(0x7FFF).b, "invalid Boolean");
  const auto decimal = [](std::uint8_t scale, std::uint8_t sign, std::uint16_t reserved) {
    return Raw().header(1).key("d", 14).u8(scale).u8(sign).u16(reserved).u32(0).u32(0).u32(0).b;
  };
  ExpectRefused(decimal(29, 0, 0), "scale");
  ExpectRefused(decimal(0, 1, 0), "sign");
  ExpectRefused(decimal(0, 0, 1), "reserved");
  EXPECT_TRUE(BagReader::TryParse(decimal(28, 0x80, 0)).has_value());
  ExpectRefused(Raw().header(1).key("b", 8209).u8(2).u32(0).u32(0).b, "dimension count");
  ExpectRefused(Raw().header(1).key("b", 8209).u8(1).u32(0x7FFFFFFF).u32(2).u16(0).b, "bounds");
  ExpectRefused(Raw().header(1).key("b", 8209).u8(1).u32(0x80000000u).u32(0).b, "bounds");
  EXPECT_TRUE(
      BagReader::TryParse(Raw().header(1).key("b", 8209).u8(1).u32(0x80000000u).u32(1).u8(0).b)
          .has_value());

  // Duplicate keys and trailing bytes.
  ExpectRefused(Raw().header(2).key("a", 0).key("a", 1).b, "duplicate key in entry 2 at offset 19");
  // A bag large enough for the index.
  PropertyBag big;
  for (int i = 0; i < 100; ++i) big.WriteProperty(std::to_string(i), Variant(kNull));
  Bytes dup = big.Contents();
  dup[8] = 101;  // one more entry, repeating key "57"
  const Bytes extra = Raw().key("57", 1).b;
  dup.insert(dup.end(), extra.begin(), extra.end());
  ExpectRefused(dup, "duplicate key in entry 101");
  // Keys differing only in case are distinct.
  EXPECT_TRUE(BagReader::TryParse(Raw().header(2).key("a", 0).key("A", 0).b).has_value());

  Bytes trailing = BagOf({{"a", Variant(1)}});
  trailing.push_back(0);
  ExpectRefused(trailing, "1 byte after the last entry");
}

// Whatever a damaged bag turns into, it either fails to load or loads into a
// bag that writes back exactly those bytes (there is one encoding per bag).
void CheckDamaged(const Bytes& damaged) {
  const auto reader = BagReader::TryParse(damaged);
  PropertyBag bag;
  bool loaded = true;
  try {
    bag.SetContents(damaged);
  } catch (const AutomationError& e) {
    ASSERT_EQ(e.Number(), kInvalidProcedureCall);
    loaded = false;
  }
  ASSERT_EQ(reader.has_value(), loaded);
  if (!loaded) return;
  ASSERT_EQ(bag.Contents(), damaged);
  ASSERT_EQ(reader->Size(), bag.Size());
  for (const auto& e : reader->Entries()) {
    ASSERT_EQ(BagReader::Decode(e), bag.ReadProperty(e.key));
  }
}

TEST(BagLoading, RefusesEveryTruncationAndDamagedBytesFailOrReadBackConsistently) {
  const Bytes bytes = AllKindsAndANestedBag();
  for (std::size_t n = 0; n < bytes.size(); ++n) {
    ExpectRefused(Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n)));
    if (::testing::Test::HasFailure()) return;
  }
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    for (std::uint8_t mask : {0x01, 0x80, 0xFF}) {
      Bytes damaged = bytes;
      damaged[i] ^= mask;
      SCOPED_TRACE(::testing::Message() << "byte " << i << " ^ " << int{mask});
      CheckDamaged(damaged);
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
}

}  // namespace
}  // namespace replikon
