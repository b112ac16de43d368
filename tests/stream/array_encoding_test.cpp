#include "replikon/stream/array_encoding.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "automation/bag_codec.hpp"
#include "replikon/automation/property_bag.hpp"
#include "replikon/automation/safe_array.hpp"
#include "replikon/automation/variant.hpp"
#include "replikon/stream/stream_layout.hpp"
#include "stream/array_codec.hpp"
#include "test_support.hpp"

namespace replikon {
namespace {

using test_support::BagOf;
using test_support::Bytes;
using test_support::BytesValue;
using test_support::Entries;

Entries EntriesOf(std::span<const std::uint8_t> bytes) {
  PropertyBag bag;
  bag.SetContents(bytes);
  return bag.Entries();
}

std::vector<std::string> KeysOf(std::span<const std::uint8_t> bytes) {
  std::vector<std::string> keys;
  for (const auto& entry : EntriesOf(bytes)) keys.push_back(entry.first);
  return keys;
}

// The element bag of an array stream.
Bytes ElementBagOf(const Bytes& stream) {
  PropertyBag bag;
  bag.SetContents(stream);
  return bag.ReadProperty("@AE#").Array().ToBytes();
}

// A one-dimensional array lower..lower+values-1.
SafeArray Array1(VarType type, std::int32_t lower, const std::vector<Variant>& values) {
  SafeArray a(type, {ArrayBound{lower, lower + static_cast<std::int32_t>(values.size()) - 1}});
  for (std::size_t i = 0; i < values.size(); ++i) a.SetFlat(i, values[i]);
  return a;
}

Variant Ints(std::int32_t lower, const std::vector<std::int32_t>& values) {
  return Variant(Array1(VarType::I4, lower, {values.begin(), values.end()}));
}

// How many arrays deep the first elements go, and what lies at the bottom.
std::pair<std::size_t, Variant> Nesting(Variant at) {
  std::size_t arrays = 0;
  while (at.IsArray()) {
    ++arrays;
    at = at.Array().GetFlat(0);
  }
  return {arrays, at};
}

// An array stream built entry by entry.
struct Crafted {
  std::int32_t header = 0;
  std::vector<ArrayBound> bounds;
  std::optional<Bytes> elements;  // "@AE#"
  Bytes Build() const {
    Entries e{{"@SF#", Variant(header)}};
    for (std::size_t d = 0; d < bounds.size(); ++d) {
      e.emplace_back("D" + std::to_string(d + 1), Variant(bounds[d].lower));
      e.emplace_back("G" + std::to_string(d + 1), Variant(bounds[d].upper));
    }
    if (elements) e.emplace_back("@AE#", BytesValue(*elements));
    return BagOf(e);
  }
};

std::int32_t ArrayHeader(std::int32_t dims, std::int32_t element_type, std::int32_t version = 1,
                         bool empty = false) {
  return (element_type << 24) | (dims << 16) | (empty ? kEmptyFlag : 0) | kArrayStreamKind |
         version;
}

constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();

// ---- The layout ----------------------------------------------------------------

// (The stream of an array without dimensions is pinned by
// StreamBytes.ArrayStreams.) A dimension without elements reads back as Null.
TEST(ArrayEncodingLayoutTest, NoElementsAndTooManyDimensions) {
  const Bytes empty = StreamFromArray(Variant(SafeArray(VarType::I4, {ArrayBound{0, -1}})));
  EXPECT_EQ(KeysOf(empty), (std::vector<std::string>{"@SF#", "D1", "G1", "@AE#"}));
  EXPECT_TRUE(EntriesOf(ElementBagOf(empty)).empty());
  EXPECT_TRUE(ArrayFromStream(empty).IsNull());

  // More than five dimensions is an empty bag; nested in a Variant array, such
  // an array comes back as an Empty element.
  for (const std::size_t dims : {6u, 12u}) {
    const SafeArray array(VarType::I4, std::vector<ArrayBound>(dims, ArrayBound{0, 0}));
    EXPECT_EQ(StreamFromArray(Variant(array)), PropertyBag().Contents());
    EXPECT_EQ(
        ArrayFromStream(StreamFromArray(Array1(VarType::Variant, 0, {Variant(array), Variant(5)}))),
        Variant(Array1(VarType::Variant, 0, {Variant(), Variant(5)})));
  }
}

TEST(ArrayEncodingLayoutTest, ArraysOfObjects) {
  SafeArray objects(VarType::Dispatch, {ArrayBound{0, 2}});
  const Bytes stream = StreamFromArray(Variant(objects));
  EXPECT_EQ(InspectStream(stream).header.element_type, 9);
  EXPECT_TRUE(EntriesOf(ElementBagOf(stream)).empty());  // the bag refuses objects

  // Objects in a Variant array get no entry and come back Empty; an array of
  // objects in a Variant array comes back as an Empty element.
  SafeArray mixed(VarType::Variant, {ArrayBound{0, 2}});
  mixed.SetFlatRef(0, ObjectRef());
  mixed.SetFlat(1, Variant(objects));
  mixed.SetFlat(2, Variant("x"));
  const Bytes mixed_stream = StreamFromArray(Variant(mixed));
  EXPECT_EQ(KeysOf(ElementBagOf(mixed_stream)), (std::vector<std::string>{"1", "2"}));
  EXPECT_EQ(ArrayFromStream(mixed_stream),
            Variant(Array1(VarType::Variant, 0, {Variant(), Variant(), Variant("x")})));
}

// Variant arrays nested three deep, two dimensions, an array without
// dimensions and one of bytes from 3 among them.
TEST(ArrayEncodingLayoutTest, NestedArrayIsStoredAsItsOwnStreamAndAppendedInPlace) {
  const SafeArray doubles = Array1(VarType::R8, 0, {Variant(1.5), Variant(-0.0)});
  SafeArray level2(VarType::Variant, {ArrayBound{0, 1}, ArrayBound{0, 1}});
  level2.SetFlat(0, Ints(-1, {1, 2}));
  level2.SetFlat(3, Variant(SafeArray(VarType::Bool)));
  const SafeArray outer =
      Array1(VarType::Variant, 1,
             {Variant("a"), Variant(Currency{15000}), Variant(doubles), Variant(), Variant(level2),
              Variant(SafeArray::FromBytes(Bytes{9, 8, 7}, 3))});
  const Bytes stream = StreamFromArray(Variant(outer));
  const Entries elements = EntriesOf(ElementBagOf(stream));
  ASSERT_EQ(elements.size(), 6u);
  EXPECT_EQ(elements[2].first, "3");
  EXPECT_EQ(elements[2].second.Array().ToBytes(), StreamFromArray(Variant(doubles)));
  EXPECT_EQ(ArrayFromStream(stream), Variant(outer));
  // After other bytes, as a nested Stream is written, the same bytes.
  Bytes out{1, 2, 3};
  AppendStreamFromArray(outer, out);
  EXPECT_EQ(Bytes(out.begin() + 3, out.end()), stream);
}

// ---- Round trips ----------------------------------------------------------------

Variant SampleValue(VarType type, std::size_t i) {
  const auto n = static_cast<std::int32_t>(i);
  switch (type) {
    case VarType::I2:
      return Variant(static_cast<std::int16_t>(n * 7 - 300));
    case VarType::I4:
      return Variant(n * 100003 - 7);
    case VarType::R4:
      return Variant(static_cast<float>(n) / 3.0f);
    case VarType::R8:
      return Variant(n % 3 == 0 ? -0.0 : n * 1e300 / 7);
    case VarType::Cy:
      return Variant(Currency{std::int64_t{n} * 123456789 - 5});
    case VarType::Date:
      return Variant(Date{36526.25 + n});
    case VarType::BStr:
      return Variant(std::string(i % 4, static_cast<char>('a' + i % 26)) + "\xC3\xA9");
    case VarType::Bool:
      return Variant(i % 3 == 1);
    case VarType::Decimal:
      return Variant(Decimal{static_cast<std::uint32_t>(i), i * 99,
                             static_cast<std::uint8_t>(i % 29), i % 2 == 0});
    case VarType::UI1:
      return Variant(static_cast<std::uint8_t>(i * 37));
    default: {  // Variant: a mix of types
      const Variant mix[] = {
          Variant(n),     Variant("s" + std::to_string(i)), Variant(),
          Variant(kNull), Variant(Decimal{0, i, 2, true}),  Variant(ErrorCode{n})};
      return mix[i % 6];
    }
  }
}

// Decimal arrays come back as Variant arrays of decimals.
TEST(ArrayEncodingRoundTripTest, EveryElementTypeInOneToFiveDimensions) {
  const VarType types[] = {VarType::I2,      VarType::I4,   VarType::R4,     VarType::R8,
                           VarType::Cy,      VarType::Date, VarType::BStr,   VarType::Bool,
                           VarType::Variant, VarType::UI1,  VarType::Decimal};
  const std::vector<ArrayBound> shapes[] = {
      {{-3, 2}},
      {{0, 1}, {-2, 0}},
      {{1, 2}, {0, 0}, {-1, 1}},
      {{0, 1}, {1, 2}, {-1, 0}, {5, 6}},
      {{0, 1}, {-1, 0}, {0, 1}, {2, 3}, {-5, -4}},
  };
  for (VarType type : types) {
    for (const auto& shape : shapes) {
      SCOPED_TRACE(TypeName(type) + " in " + std::to_string(shape.size()) + " dimensions");
      SafeArray array(type, shape);
      SafeArray expected(type == VarType::Decimal ? VarType::Variant : type, shape);
      for (std::size_t i = 0; i < array.Count(); ++i) {
        array.SetFlat(i, SampleValue(type, i));
        expected.SetFlat(i, SampleValue(type, i));
      }
      const Bytes stream = StreamFromArray(Variant(array));
      const StreamHeader h = InspectStream(stream).header;
      EXPECT_EQ(h.dimensions, static_cast<std::int16_t>(shape.size()));
      EXPECT_EQ(h.element_type, Code(type));
      EXPECT_EQ(ArrayFromStream(stream, Code(VarType::Array | type)), Variant(expected));
    }
  }
}

// ---- Decoding rules --------------------------------------------------------------

TEST(ArrayDecodingTest, HeaderDecidesInOrder) {
  const Bytes elements = BagOf({{"0", Variant(7)}});
  auto decode = [&](std::int32_t header, std::optional<std::int32_t> expected_type = {}) {
    return ArrayFromStream(Crafted{header, {{0, 0}}, elements}.Build(), expected_type);
  };
  EXPECT_EQ(decode(ArrayHeader(1, 3)).Array().GetFlat(0), Variant(7));
  // The low 8 bits of an expected type must match (the round trips pass
  // types that do).
  EXPECT_TRUE(decode(ArrayHeader(1, 3), 8197).IsNull());
  EXPECT_TRUE(decode(ArrayHeader(1, 3), 256 + 3).IsArray());
  EXPECT_TRUE(decode(ArrayHeader(1, 3, 2)).IsEmpty());  // version 2
  EXPECT_TRUE(decode(ArrayHeader(6, 3, 2)).IsEmpty());  // version first
  EXPECT_TRUE(decode(ArrayHeader(6, 3)).IsNull());      // six dimensions
  EXPECT_TRUE(decode(ArrayHeader(15, 3)).IsNull());
  // No element type (also when empty), objects, error codes, 200 (-56) and
  // other types no array is rebuilt of.
  EXPECT_TRUE(decode(ArrayHeader(0, 0)).IsNull());
  for (std::int32_t type : {0, 1, 9, 10, 13, 16, 18, 36, -56, -1}) {
    EXPECT_TRUE(decode(ArrayHeader(1, type)).IsNull()) << type;
  }
  EXPECT_TRUE(decode(ArrayHeader(1, 3) - 32 + 16).IsNull());  // an object stream
  EXPECT_TRUE(decode(ArrayHeader(1, 3) | kReservedFlag).IsArray());

  // The empty flag makes an array without dimensions whatever n says; n = 0
  // is empty whatever the flag says. An empty array's type is not compared.
  EXPECT_EQ(decode(ArrayHeader(1, 3, 1, true), 8197), Variant(SafeArray(VarType::I4)));
  EXPECT_EQ(decode(ArrayHeader(0, 8)), Variant(SafeArray(VarType::BStr)));

  // Decoding checks every other input of NewTypedArray before it is called.
  const ArrayShape six{std::vector<ArrayBound>(6, ArrayBound{0, 0})};
  EXPECT_FALSE(NewTypedArray(3, six, false).Array().IsAllocated());
}

TEST(ArrayDecodingTest, NoArrayStreamBoundsAndElementBag) {
  const Bytes elements = BagOf({{"1", Variant(4)}, {"2", Variant(5)}});
  const Variant header(ArrayHeader(1, 3));
  const Bytes written = Crafted{ArrayHeader(1, 3), {{1, 2}}, elements}.Build();
  Bytes trailing = written;
  trailing.push_back(0);
  const Variant null(kNull);
  const std::pair<Bytes, Variant> cases[] = {
      {written, Ints(1, {4, 5})},
      // No array stream.
      {{}, null},
      {Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}, null},
      {BagOf({}), null},
      {BagOf({{"@SF#", Variant(17)}, {"@OT#", Variant("X")}}), null},
      {BagOf({{"@SF#", Variant("x")}}), null},
      // The header converts by the automation rules.
      {BagOf({{"@SF#", Variant(std::to_string(ArrayHeader(0, 3)))}}),
       Variant(SafeArray(VarType::I4))},
      // Entries in any order, a foreign entry, bounds that convert, an element
      // bag with another lower bound.
      {BagOf({{"G1", Variant(2.0)},
              {"@AE#", BytesValue(elements)},
              {"X", Variant(5)},
              {"D1", Variant("1")},
              {"@SF#", header}}),
       Ints(1, {4, 5})},
      {BagOf({{"@SF#", header},
              {"D1", Variant(std::int16_t{1})},
              {"G1", Variant(2)},
              {"@AE#", Variant(SafeArray::FromBytes(elements, 1))}}),
       Ints(1, {4, 5})},
      // An absent bound reads as 0; one that does not convert makes Null.
      {BagOf({{"@SF#", header}, {"@AE#", BytesValue(elements)}}), Ints(0, {0})},
      {BagOf({{"@SF#", header}, {"D1", Variant("one")}, {"@AE#", BytesValue(elements)}}), null},
      // Bytes that are no bag, outside or inside.
      {trailing, null},
      {Bytes(written.begin(), written.end() - 1), null},
      // Upper below lower.
      {Crafted{ArrayHeader(1, 3), {{2, 0}}, elements}.Build(), null},
      // The element bag is absent or not a byte array (for one that is no
      // bag, see IntegerElementBagsInEveryForm).
      {Crafted{ArrayHeader(1, 3), {{1, 2}}, std::nullopt}.Build(), null},
      {BagOf({{"@SF#", header}, {"D1", Variant(1)}, {"G1", Variant(1)}, {"@AE#", Variant("bag")}}),
       null},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(ArrayFromStream(cases[i].first), cases[i].second) << i;
  }
}

// Arrays of fixed-size scalars read an element bag in the written form in one
// pass; every other form must read as it does entry by entry.
TEST(ArrayDecodingTest, IntegerElementBagsInEveryForm) {
  const Bytes written = BagOf({{"0", Variant(1)}, {"1", Variant(2)}, {"2", Variant(3)}});
  Bytes trailing = written;
  trailing.push_back(0);
  Bytes more = written;
  more[8] = 4;  // the entry count
  Bytes fewer = written;
  fewer[8] = 2;
  Bytes repeated = written;  // entries of 11 bytes after the header: the second key made "0"
  ASSERT_EQ(repeated[12 + 11 + 4], '1');
  repeated[12 + 11 + 4] = '0';
  const std::vector<std::pair<Bytes, Variant>> cases = {
      {written, Ints(0, {1, 2, 3})},
      {BagOf({{"2", Variant(3)}, {"0", Variant(1)}, {"1", Variant(2)}}), Ints(0, {1, 2, 3})},
      // Other types convert (2.5 to even); a foreign key, a key spelt otherwise
      // and one past the bounds are passed over; a missing element keeps 0.
      {BagOf({{"0", Variant(2.5)},
              {"x", Variant(9)},
              {"01", Variant(8)},
              {"2", Variant(std::int16_t{7})},
              {"3", Variant(4)}}),
       Ints(0, {2, 0, 7})},
      {BagOf({{"1", Variant("17")}, {"2", Variant("not a number")}}), Ints(0, {0, 17, 0})},
      // In the written form but for one entry's key or type (a float of the
      // same size): that entry is read by its key.
      {BagOf({{"0", Variant(1)}, {"9", Variant(2)}, {"2", Variant(3)}}), Ints(0, {1, 0, 3})},
      {BagOf({{"0", Variant(1)}, {"1", Variant(42.0f)}, {"2", Variant(3)}}), Ints(0, {1, 42, 3})},
      // Bytes that are no bag make the array Null, however regular they look.
      {trailing, Variant(kNull)},
      {Bytes(written.begin(), written.end() - 1), Variant(kNull)},
      {more, Variant(kNull)},
      {fewer, Variant(kNull)},
      {repeated, Variant(kNull)},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(ArrayFromStream(Crafted{ArrayHeader(1, 3), {{0, 2}}, cases[i].first}.Build()),
              cases[i].second)
        << i;
  }
}

TEST(ArrayDecodingTest, MissingOrBadElementsKeepTheInitialValue) {
  const Bytes elements = BagOf({{"1", Variant("17")}, {"2", Variant("not a number")}});
  const std::pair<VarType, std::vector<Variant>> cases[] = {
      {VarType::BStr, {Variant(""), Variant("17"), Variant("not a number")}},
      {VarType::Bool, {Variant(false), Variant(true), Variant(false)}},
      {VarType::Variant, {Variant(), Variant("17"), Variant("not a number")}},
  };
  for (const auto& [type, values] : cases) {
    EXPECT_EQ(ArrayFromStream(Crafted{ArrayHeader(1, Code(type)), {{0, 2}}, elements}.Build()),
              Variant(Array1(type, 0, values)));
  }
  // A byte array that is no array stream is Empty.
  const Bytes odd =
      BagOf({{"0", BytesValue(Bytes{1, 2})}, {"1", Variant(SafeArray::UnallocatedBytes())}});
  EXPECT_EQ(ArrayFromStream(Crafted{ArrayHeader(1, 12), {{0, 1}}, odd}.Build()),
            Variant(Array1(VarType::Variant, 0, {Variant(), Variant()})));
}

TEST(ArrayDecodingTest, ValueFromStoredAndBytesFromVariant) {
  EXPECT_EQ(ValueFromStored(Variant(5)), Variant(5));
  EXPECT_TRUE(ValueFromStored(Variant(kNull)).IsNull());
  const SafeArray ints = Array1(VarType::I4, 0, {Variant(3)});
  const Variant stored = StoredFromValue(Variant(ints));
  EXPECT_EQ(stored, BytesValue(StreamFromArray(Variant(ints))));
  EXPECT_EQ(ValueFromStored(stored), Variant(ints));
  EXPECT_EQ(StoredFromValue(Variant("x")), Variant("x"));
  // Arrays that are no array stream, and streams that give Null.
  EXPECT_TRUE(ValueFromStored(Variant(ints)).IsEmpty());
  EXPECT_TRUE(ValueFromStored(BytesValue(Bytes{1, 2, 3})).IsEmpty());
  EXPECT_TRUE(ValueFromStored(BytesValue(BagOf({{"@SF#", Variant(529)}}))).IsEmpty());
  EXPECT_TRUE(ValueFromStored(Variant(SafeArray::UnallocatedBytes())).IsEmpty());

  EXPECT_EQ(BytesFromVariant(BytesValue(Bytes{4, 5})), (Bytes{4, 5}));
  EXPECT_TRUE(BytesFromVariant(Variant(ints)).empty());
  EXPECT_TRUE(BytesFromVariant(Variant("text")).empty());
  EXPECT_TRUE(StreamFromArray(Variant(5)).empty());
}

TEST(ArrayDecodingTest, FillArrayFromStream) {
  const Bytes stream =
      Crafted{ArrayHeader(1, 3), {{0, 2}}, BagOf({{"0", Variant(1)}, {"2", Variant("x")}})}.Build();
  const ArrayShape shape{{ArrayBound{0, 2}}};
  Variant target = Ints(0, {5, 6, 7});
  EXPECT_TRUE(FillArrayFromStream(stream, target, shape));
  // "1" is absent: Empty is assigned; "x" does not convert: 7 stays.
  EXPECT_EQ(target, Ints(0, {1, 0, 7}));

  // A table wider than the target: what fits is filled.
  Variant small = Ints(0, {5, 6});
  EXPECT_TRUE(FillArrayFromStream(stream, small, shape));
  EXPECT_EQ(small, Ints(0, {1, 0}));

  Variant not_array(5);
  EXPECT_TRUE(FillArrayFromStream(stream, not_array, shape));
  EXPECT_EQ(not_array, Variant(5));
  EXPECT_FALSE(FillArrayFromStream(Bytes{1, 2}, target, shape));
  EXPECT_FALSE(FillArrayFromStream(BagOf({{"@SF#", Variant(ArrayHeader(1, 3))}}), target, shape));
}

TEST(ArrayBoundsTest, BoundsTableAndDimensionBounds) {
  const SafeArray three(VarType::I4, {ArrayBound{-1, 1}, ArrayBound{0, -1}, ArrayBound{4, 4}});
  EXPECT_EQ(ArrayShapeOf(Variant(three)).bounds,
            (std::vector<ArrayBound>{{-1, 1}, {0, -1}, {4, 4}}));
  EXPECT_EQ(ArrayShapeOf(Variant(5)).Dims(), 0u);
  EXPECT_EQ(ArrayShapeOf(Variant(SafeArray(VarType::I4))).Dims(), 0u);
  EXPECT_EQ(
      ArrayShapeOf(Variant(SafeArray(VarType::I4, std::vector<ArrayBound>(12, {0, 0})))).Dims(),
      kMaxProbedDimensions);

  std::int32_t lower = 99;
  std::int32_t upper = 99;
  EXPECT_TRUE(DimensionBounds(Variant(three), 3, lower, upper));
  EXPECT_EQ(std::make_pair(lower, upper), std::make_pair(4, 4));
  lower = upper = 99;
  EXPECT_FALSE(DimensionBounds(Variant(three), 4, lower, upper));
  EXPECT_FALSE(DimensionBounds(Variant(three), 0, lower, upper));
  EXPECT_FALSE(DimensionBounds(Variant("abc"), 1, lower, upper));
  EXPECT_EQ(std::make_pair(lower, upper), std::make_pair(99, 99));
}

// ---- Untrusted bytes ----------------------------------------------------------------

TEST(ArrayDecodingResourceTest, MissingElementsAreBoundedByTheInput) {
  // A Variant or Long array with three entries and bounds 0..count-1. The
  // bound is a fixed-width integer, so the stream's size does not depend on count.
  const Bytes present = BagOf({{"0", Variant(1)}, {"1", Variant(2)}, {"2", Variant(3)}});
  for (const VarType type : {VarType::Variant, VarType::I4}) {
    SCOPED_TRACE(TypeName(type));
    auto stream_for = [&](std::int32_t count) {
      return Crafted{ArrayHeader(1, Code(type)), {{0, count - 1}}, present}.Build();
    };
    const std::size_t size = stream_for(1).size();
    // The allowance for the bytes; a Variant array (which lacks entries for
    // object references) may draw on the fixed allowance for them as well.
    const auto at_limit =
        static_cast<std::int32_t>(kMissingElementAllowance + kMissingElementsPerByte * size +
                                  (type == VarType::Variant ? kRefusedElementAllowance : 0) + 3);
    const Bytes ok = stream_for(at_limit);
    ASSERT_EQ(ok.size(), size);
    const Variant back = ArrayFromStream(ok);
    ASSERT_TRUE(back.IsArray());
    EXPECT_EQ(back.Array().Count(), static_cast<std::size_t>(at_limit));
    EXPECT_EQ(back.Array().GetFlat(2), Variant(3));
    EXPECT_EQ(back.Array().GetFlat(3), type == VarType::I4 ? Variant(0) : Variant());
    EXPECT_TRUE(ArrayFromStream(stream_for(at_limit + 1)).IsNull());
  }
}

TEST(ArrayDecodingResourceTest, HugeBoundsAllocateNothing) {
  const Bytes none = BagOf({});
  const std::vector<ArrayBound> shapes[] = {
      {{kMin, kMax}}, {{0, kMax}}, std::vector<ArrayBound>(5, {0, 65535})};
  for (std::int32_t type : {2, 3, 8, 9, 12, 14, 17}) {
    for (const auto& bounds : shapes) {
      const auto dims = static_cast<std::int32_t>(bounds.size());
      EXPECT_TRUE(ArrayFromStream(Crafted{ArrayHeader(dims, type), bounds, none}.Build()).IsNull());
    }
  }
  // A Variant array whose elements all claim huge arrays: each is Empty.
  const Bytes huge = Crafted{ArrayHeader(1, 12), {{0, kMax}}, none}.Build();
  Entries elements;
  for (int i = 0; i < 100; ++i) elements.emplace_back(std::to_string(i), BytesValue(huge));
  const Variant back =
      ArrayFromStream(Crafted{ArrayHeader(1, 12), {{0, 99}}, BagOf(elements)}.Build());
  ASSERT_TRUE(back.IsArray());
  EXPECT_TRUE(back.Array().GetFlat(99).IsEmpty());
}

// A Variant array stream nested `depth` deep, written front to back in place.
Bytes DeeplyNested(std::size_t depth) {
  Bytes out;
  out.reserve(depth * 100 + 64);
  std::vector<BagWriter> writers;
  std::vector<BagWriter::Pending> pending;
  writers.reserve(2 * depth);
  pending.reserve(2 * depth);
  const std::int32_t header = ArrayHeader(1, 12);
  for (std::size_t i = 0; i < depth; ++i) {
    BagWriter& array = writers.emplace_back(out);
    array.Write("@SF#", Variant(header));
    array.Write("D1", Variant(0));
    array.Write("G1", Variant(0));
    pending.push_back(array.BeginBytes("@AE#"));
    BagWriter& elements = writers.emplace_back(out);
    pending.push_back(elements.BeginBytes("0"));
  }
  const Bytes core = Crafted{ArrayHeader(1, 3), {{0, 0}}, BagOf({{"0", Variant(42)}})}.Build();
  out.insert(out.end(), core.begin(), core.end());
  for (std::size_t i = writers.size(); i-- > 0;) {
    writers[i].EndBytes(pending[i]);
    writers[i].Finish();
  }
  return out;
}

// Nesting deeper than the limit ends in Empty, whether a million arrays deep
// in the bytes or written from arrays a few levels deeper than the limit.
TEST(ArrayDecodingResourceTest, DeepNestingIsCutAtTheLimit) {
  EXPECT_EQ(Nesting(ArrayFromStream(DeeplyNested(3))), std::make_pair(std::size_t{4}, Variant(42)));
  const auto cut = std::make_pair(kMaxArrayNesting + 1, Variant());

  const Bytes deep = DeeplyNested(1000000);
  EXPECT_EQ(StreamKind(deep), kArrayStreamKind);
  EXPECT_EQ(Nesting(ArrayFromStream(deep)), cut);
  EXPECT_TRUE(ValueFromStored(BytesValue(deep)).IsArray());

  Variant value = Ints(0, {1});
  for (std::size_t i = 0; i < kMaxArrayNesting + 6; ++i) {
    value = Variant(Array1(VarType::Variant, 0, {value}));
  }
  EXPECT_EQ(Nesting(ArrayFromStream(StreamFromArray(value))), cut);
}

}  // namespace
}  // namespace replikon
