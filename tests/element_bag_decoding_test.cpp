// Element bags of arrays of fixed-size scalars. The form the encoder writes is
// read in one pass; every other form (keys out of order or spelt otherwise,
// values of other types, missing, foreign or repeated keys, damaged bytes)
// must read exactly as any element bag does.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "replikon/automation/property_bag.hpp"
#include "replikon/automation/safe_array.hpp"
#include "replikon/stream/array_encoding.hpp"
#include "replikon/stream/stream_layout.hpp"

namespace replikon {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes BagOf(const std::vector<std::pair<std::string, Variant>>& entries) {
  PropertyBag bag;
  for (const auto& [key, value] : entries) bag.WriteProperty(key, value);
  return bag.Contents();
}

// A one-dimensional array stream of 32-bit integers with the element bag given.
Bytes IntegerStream(ArrayBound bounds, const Bytes& elements) {
  StreamHeaderFields header;
  header.version = kFormatVersion;
  header.kind = kArrayStreamKind;
  header.dimensions = 1;
  header.element_type = static_cast<std::int16_t>(Code(VarType::I4));
  return BagOf({{"@SF#", Variant(PackStreamHeader(header))},
                {"D1", Variant(bounds.lower)},
                {"G1", Variant(bounds.upper)},
                {"@AE#", Variant(SafeArray::FromBytes(elements))}});
}

Variant Integers(std::int32_t lower, const std::vector<std::int32_t>& values) {
  SafeArray array(VarType::I4,
                  {ArrayBound{lower, lower + static_cast<std::int32_t>(values.size()) - 1}});
  for (std::size_t i = 0; i < values.size(); ++i) array.SetFlat(i, Variant(values[i]));
  return Variant(array);
}

TEST(ElementBagDecodingTest, EveryFormReadsByKey) {
  auto decode = [](const Bytes& elements) {
    return ArrayFromStream(IntegerStream({0, 2}, elements));
  };
  const Bytes written = BagOf({{"0", Variant(1)}, {"1", Variant(2)}, {"2", Variant(3)}});
  EXPECT_EQ(decode(written), Integers(0, {1, 2, 3}));
  EXPECT_EQ(decode(BagOf({{"2", Variant(3)}, {"0", Variant(1)}, {"1", Variant(2)}})),
            Integers(0, {1, 2, 3}));
  // Other types convert (2.5 rounds to even); a missing element keeps 0; a
  // foreign key, and a key spelt otherwise, are passed over.
  EXPECT_EQ(decode(BagOf({{"0", Variant(2.5)},
                          {"x", Variant(9)},
                          {"01", Variant(8)},
                          {"2", Variant(std::int16_t{7})}})),
            Integers(0, {2, 0, 7}));
  EXPECT_EQ(decode(BagOf({{"0", Variant(1)}, {"1", Variant(2)}})), Integers(0, {1, 2, 0}));
  EXPECT_EQ(
      decode(BagOf({{"0", Variant(1)}, {"1", Variant(2)}, {"2", Variant(3)}, {"3", Variant(4)}})),
      Integers(0, {1, 2, 3}));

  // Bytes that are no bag make the array Null, however regular they look.
  Bytes trailing = written;
  trailing.push_back(0);
  EXPECT_TRUE(decode(trailing).IsNull());
  EXPECT_TRUE(decode(Bytes(written.begin(), written.end() - 1)).IsNull());
  Bytes more = written;
  more[8] = 4;  // the entry count
  EXPECT_TRUE(decode(more).IsNull());
  Bytes fewer = written;
  fewer[8] = 2;
  EXPECT_TRUE(decode(fewer).IsNull());
  // Entries of 11 bytes after the 12-byte header: the second key made "0".
  Bytes repeated = written;
  ASSERT_EQ(repeated[12 + 11 + 4], '1');
  repeated[12 + 11 + 4] = '0';
  EXPECT_TRUE(decode(repeated).IsNull());
}

TEST(ElementBagDecodingTest, ArrayBagsOfEveryFormReadByKey) {
  StreamHeaderFields header;
  header.version = kFormatVersion;
  header.kind = kArrayStreamKind;
  header.dimensions = 1;
  header.element_type = static_cast<std::int16_t>(Code(VarType::I4));
  const Variant word(PackStreamHeader(header));
  const Bytes elements = BagOf({{"0", Variant(1)}, {"1", Variant(2)}});
  const Variant bytes(SafeArray::FromBytes(elements));
  const Variant expected = Integers(0, {1, 2});

  const Bytes written = IntegerStream({0, 1}, elements);
  EXPECT_EQ(ArrayFromStream(written), expected);
  EXPECT_EQ(ArrayFromStream(
                BagOf({{"G1", Variant(1)}, {"@AE#", bytes}, {"D1", Variant(0)}, {"@SF#", word}})),
            expected);
  EXPECT_EQ(ArrayFromStream(BagOf({{"@SF#", word},
                                   {"D1", Variant(0)},
                                   {"G1", Variant(1)},
                                   {"X", Variant(5)},
                                   {"@AE#", bytes}})),
            expected);
  EXPECT_EQ(ArrayFromStream(BagOf({{"@SF#", word},
                                   {"D1", Variant(std::int16_t{0})},
                                   {"G1", Variant("1")},
                                   {"@AE#", bytes}})),
            expected);
  EXPECT_EQ(ArrayFromStream(BagOf({{"@SF#", word},
                                   {"D1", Variant(0)},
                                   {"G1", Variant(1)},
                                   {"@AE#", Variant(SafeArray::FromBytes(elements, 1))}})),
            expected);
  // A header word that gives more dimensions than the bag has bounds for: the
  // missing bounds read as 0.
  header.dimensions = 2;
  const Variant two = ArrayFromStream(BagOf({{"@SF#", Variant(PackStreamHeader(header))},
                                             {"D1", Variant(0)},
                                             {"G1", Variant(1)},
                                             {"@AE#", bytes}}));
  ASSERT_TRUE(two.IsArray());
  EXPECT_EQ(two.Array().Dims(), 2u);
  EXPECT_EQ(two.Array().Get({0, 0}), Variant(0));

  Bytes trailing = written;
  trailing.push_back(0);
  EXPECT_TRUE(ArrayFromStream(trailing).IsNull());
  EXPECT_TRUE(ArrayFromStream(Bytes(written.begin(), written.end() - 1)).IsNull());
}

TEST(ElementBagDecodingTest, KeysRunThroughSignsAndDigitCounts) {
  const std::vector<std::vector<ArrayBound>> shapes = {
      {{95, 105}}, {{-12, -8}}, {{-1, 10}}, {{9, 10}, {98, 101}}, {{-2, -1}, {-10, -9}}};
  for (const auto& shape : shapes) {
    for (VarType type : {VarType::I2, VarType::I4, VarType::R8, VarType::UI1}) {
      SCOPED_TRACE(TypeName(type) + " " + std::to_string(shape.front().lower));
      SafeArray array(type, shape);
      for (std::size_t i = 0; i < array.Count(); ++i) {
        array.SetFlat(i, Variant(static_cast<std::int32_t>(i * 3 + 1)));
      }
      const Variant back = ArrayFromStream(StreamFromArray(Variant(array)));
      ASSERT_TRUE(back.IsArray());
      EXPECT_EQ(back.Array(), array);
    }
  }
}

TEST(ElementBagDecodingTest, MissingElementsStillDrawOnTheAllowance) {
  const Bytes elements = BagOf({{"0", Variant(5)}});
  const std::size_t size = IntegerStream({0, 0}, elements).size();
  const auto budget = static_cast<std::int32_t>(DecodeAllowance(size).Left());
  const Variant fits = ArrayFromStream(IntegerStream({0, budget}, elements));
  ASSERT_TRUE(fits.IsArray());
  EXPECT_EQ(fits.Array().GetFlat(0), Variant(5));
  EXPECT_TRUE(ArrayFromStream(IntegerStream({0, budget + 1}, elements)).IsNull());
}

}  // namespace
}  // namespace replikon
