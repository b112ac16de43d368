// The reader's assignment of stored values to properties backed by fields:
// values of the field's own type and values that the let must convert.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "automation/bag_codec.hpp"
#include "copy/engine_context.hpp"
#include "plain_types.hpp"
#include "replikon/server.hpp"
#include "replikon/stream/array_encoding.hpp"
#include "stream/stream_engines.hpp"

namespace replikon {
namespace {

struct Plain : test_support::PlainTypes {
  SafeArray numbers{VarType::I4, {{0, 7}}};
  SafeArray reals{VarType::R8, {{1, 2}}};
};

class StreamReaderFields : public ::testing::Test {
 protected:
  StreamReaderFields() {
    Server test("FieldLib");
    test_support::AddPlainMembers(test.Class<Plain>("Plain"))
        .ArrayProperty("Numbers", &Plain::numbers, VarType::I4)
        .ArrayProperty("Reals", &Plain::reals, VarType::R8);
    registry_.Register(test);
    settings_.object_server_name = "FieldLib";
  }

  ObjectRef Read(const std::vector<std::uint8_t>& stream) {
    EngineContext ctx(settings_, registry_, [](RecursionCheckArgs&) {});
    ObjectRef result;
    ObjectRef parent;
    std::int32_t status = 0;
    ReadObject(ctx, stream, result, parent, true, status);
    EXPECT_EQ(status, 0);
    return result;
  }

  ClassRegistry registry_;
  EngineSettings settings_;
};

TEST_F(StreamReaderFields, EveryPlainTypeRoundTrips) {
  ObjectRef source = registry_.CreateByProgId("FieldLib.Plain");
  Plain& p = *source.As<Plain>();
  p.Fill();
  p.any = Variant(7);

  EngineContext ctx(settings_, registry_, [](RecursionCheckArgs&) {});
  ctx.SetRoot(source);
  std::int32_t status = 0;
  const std::vector<std::uint8_t> stream = WriteObject(ctx, source, source, status);
  ASSERT_EQ(status, 0);

  ObjectRef back = Read(stream);
  ASSERT_TRUE(back);
  const Plain& b = *back.As<Plain>();
  EXPECT_EQ(b.i2, p.i2);
  EXPECT_EQ(b.i4, p.i4);
  EXPECT_EQ(b.r4, p.r4);
  EXPECT_EQ(b.r8, p.r8);
  EXPECT_EQ(b.cy, p.cy);
  EXPECT_EQ(b.date, p.date);
  EXPECT_EQ(b.text, p.text);
  EXPECT_EQ(b.error, p.error);
  EXPECT_TRUE(b.flag);
  EXPECT_EQ(b.dec, p.dec);
  EXPECT_EQ(b.byte, p.byte);
  EXPECT_EQ(b.any, Variant(7));
}

TEST_F(StreamReaderFields, ValuesOfAnotherTypeAreConvertedOrLeftAlone) {
  std::vector<std::uint8_t> stream;
  BagWriter w(stream);
  w.Write("@SF#", Variant(17));
  w.Write("@OT#", Variant("Plain"));
  w.Write("I2", Variant(std::int32_t{300}));     // widened type, fits
  w.Write("I4", Variant(std::int16_t{-5}));      // narrower type
  w.Write("R8", Variant("2.5"));                 // a string that converts
  w.Write("Text", Variant(std::int32_t{42}));    // a number for a string
  w.Write("Flag", Variant(std::int32_t{0}));     // a number for a Boolean
  w.Write("Byte", Variant(std::int32_t{1000}));  // overflows: left as it is
  w.Write("Any", Variant(std::int16_t{3}));      // a Variant keeps the type
  w.Finish();

  ObjectRef back = Read(stream);
  ASSERT_TRUE(back);
  const Plain& b = *back.As<Plain>();
  EXPECT_EQ(b.i2, 300);
  EXPECT_EQ(b.i4, -5);
  EXPECT_EQ(b.r8, 2.5);
  EXPECT_EQ(b.text, "42");
  EXPECT_FALSE(b.flag);
  EXPECT_EQ(b.byte, 0);
  EXPECT_EQ(b.any, Variant(std::int16_t{3}));
  EXPECT_EQ(b.any.Type(), VarType::I2);
}

// Array fields take the stored array whole, whatever its bounds, also where
// it is not laid out as the writer lays it out; an array of another element
// type leaves the field as it is.
TEST_F(StreamReaderFields, ArrayFieldsTakeTheStoredArray) {
  SafeArray numbers(VarType::I4, {{-2, 9}});
  for (std::size_t i = 0; i < numbers.Count(); ++i) {
    numbers.SetFlat(i, Variant(static_cast<std::int32_t>(i * 7)));
  }
  // The same array as a Variant array gets an element bag of another form.
  SafeArray as_variants(VarType::Variant, {{0, 1}});
  as_variants.SetFlat(0, Variant(1.5));
  as_variants.SetFlat(1, Variant(2.5));
  SafeArray reals(VarType::R8, {{0, 1}});
  reals.SetFlat(0, Variant(1.5));
  reals.SetFlat(1, Variant(2.5));
  std::vector<std::uint8_t> reals_with_a_gap = StreamFromArray(Variant(reals));
  {
    // The element bag without its first entry: the element keeps its initial value.
    PropertyBag stream;
    stream.SetContents(reals_with_a_gap);
    PropertyBag fewer;
    fewer.WriteProperty("1", Variant(2.5));
    stream.WriteProperty("@AE#", Variant(SafeArray::FromBytes(fewer.Contents())));
    reals_with_a_gap = stream.Contents();
  }

  for (const bool gap : {false, true}) {
    SCOPED_TRACE(gap ? "an element missing" : "every element");
    std::vector<std::uint8_t> stream;
    BagWriter w(stream);
    w.Write("@SF#", Variant(17));
    w.Write("@OT#", Variant("Plain"));
    w.WriteBytes("Numbers", gap ? StreamFromArray(Variant(as_variants))  // wrong type
                                : StreamFromArray(Variant(numbers)));
    w.WriteBytes("Reals", gap ? reals_with_a_gap : StreamFromArray(Variant(reals)));
    w.Finish();

    ObjectRef back = Read(stream);
    ASSERT_TRUE(back);
    const Plain& b = *back.As<Plain>();
    if (gap) {
      EXPECT_EQ(b.numbers, SafeArray(VarType::I4, {{0, 7}}));
      SafeArray expected(VarType::R8, {{0, 1}});
      expected.SetFlat(1, Variant(2.5));
      EXPECT_EQ(b.reals, expected);
    } else {
      EXPECT_EQ(b.numbers, numbers);
      EXPECT_EQ(b.reals, reals);
    }
  }
}

}  // namespace
}  // namespace replikon
