// The reader's assignment of stored values to properties backed by fields:
// values of the field's own type and values that the let must convert.

#include <gtest/gtest.h>

#include <cstdint>
#include <tuple>

#include "plain_types.hpp"
#include "replikon/server.hpp"
#include "replikon/stream/array_encoding.hpp"
#include "stream/stream_driver.hpp"
#include "test_support.hpp"

namespace replikon::testing {
namespace {

using test_support::BagOf;
using test_support::Bytes;
using test_support::Entries;

struct Plain : test_support::PlainTypes {
  SafeArray numbers{VarType::I4, {{0, 7}}};
  SafeArray reals{VarType::R8, {{1, 2}}};
};

class StreamReaderFields : public StreamEngineTest {
 protected:
  StreamReaderFields() {
    Server test("FieldLib");
    test_support::AddPlainMembers(test.Class<Plain>("Plain"))
        .ArrayProperty("Numbers", &Plain::numbers, VarType::I4)
        .ArrayProperty("Reals", &Plain::reals, VarType::R8);
    registry_.Register(test);
    settings_.object_server_name = "FieldLib";
  }

  // A Plain read from a Stream of the entries given; Nothing when the read fails.
  ObjectRef ReadPlain(const Entries& entries) {
    ObjectRef back = Read(ObjectStream("Plain", entries));
    EXPECT_EQ(status_, 0);
    return back;
  }

  ClassRegistry& Registry() override { return registry_; }
  ClassRegistry registry_;
};

TEST_F(StreamReaderFields, EveryPlainTypeRoundTrips) {
  ObjectRef source = registry_.CreateByProgId("FieldLib.Plain");
  Plain& p = *source.As<Plain>();
  p.Fill();
  p.any = Variant(7);
  const Bytes stream = Write(source);
  ASSERT_EQ(status_, 0);

  ObjectRef back = Read(stream);
  EXPECT_EQ(status_, 0);
  ASSERT_TRUE(back);
  auto fields = [](const Plain& x) {
    return std::tie(x.i2, x.i4, x.r4, x.r8, x.cy, x.date, x.text, x.error, x.flag, x.dec, x.byte,
                    x.any);
  };
  EXPECT_TRUE(fields(*back.As<Plain>()) == fields(p));
}

TEST_F(StreamReaderFields, ValuesOfAnotherTypeAreConvertedOrLeftAlone) {
  ObjectRef back = ReadPlain({
      {"I2", Variant(std::int32_t{300})},     // widened type, fits
      {"I4", Variant(std::int16_t{-5})},      // narrower type
      {"R8", Variant("2.5")},                 // a string that converts
      {"Text", Variant(std::int32_t{42})},    // a number for a string
      {"Flag", Variant(std::int32_t{0})},     // a number for a Boolean
      {"Byte", Variant(std::int32_t{1000})},  // overflows: left as it is
      {"Any", Variant(std::int16_t{3})},      // a Variant keeps the type
  });
  ASSERT_TRUE(back);
  const Plain& b = *back.As<Plain>();
  EXPECT_EQ(std::tie(b.i2, b.i4, b.r8, b.text, b.flag, b.byte, b.any),
            std::tuple(300, -5, 2.5, "42", false, 0, Variant(std::int16_t{3})));
}

// Array fields take the stored array whole, whatever its bounds, also where
// it is not laid out as the writer lays it out; an array of another element
// type leaves the field as it is.
TEST_F(StreamReaderFields, ArrayFieldsTakeTheStoredArray) {
  SafeArray numbers(VarType::I4, {{-2, 9}});
  for (std::size_t i = 0; i < numbers.Count(); ++i) {
    numbers.SetFlat(i, Variant(static_cast<std::int32_t>(i * 7)));
  }
  auto halves = [](VarType type) {
    SafeArray a(type, {{0, 1}});
    a.SetFlat(0, Variant(1.5));
    a.SetFlat(1, Variant(2.5));
    return Variant(a);
  };
  ObjectRef whole = ReadPlain({{"Numbers", BytesValue(StreamFromArray(Variant(numbers)))},
                               {"Reals", BytesValue(StreamFromArray(halves(VarType::R8)))}});
  ASSERT_TRUE(whole);
  EXPECT_EQ(whole.As<Plain>()->numbers, numbers);
  EXPECT_EQ(Variant(whole.As<Plain>()->reals), halves(VarType::R8));

  // A Variant array (whose element bag has another form) is of the wrong
  // type for Numbers; an element bag without its first entry leaves that
  // element its initial value.
  PropertyBag gap;
  gap.SetContents(StreamFromArray(halves(VarType::R8)));
  gap.WriteProperty("@AE#", BytesValue(BagOf({{"1", Variant(2.5)}})));
  ObjectRef other = ReadPlain({{"Numbers", BytesValue(StreamFromArray(halves(VarType::Variant)))},
                               {"Reals", BytesValue(gap.Contents())}});
  ASSERT_TRUE(other);
  EXPECT_EQ(other.As<Plain>()->numbers, SafeArray(VarType::I4, {{0, 7}}));
  SafeArray expected(VarType::R8, {{0, 1}});
  expected.SetFlat(1, Variant(2.5));
  EXPECT_EQ(other.As<Plain>()->reals, expected);
}

}  // namespace
}  // namespace replikon::testing
