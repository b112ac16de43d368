#include "replikon/automation/variant.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>

#include "replikon/automation/class_builder.hpp"
#include "replikon/automation/error.hpp"
#include "replikon/automation/safe_array.hpp"
#include "test_support.hpp"

namespace replikon {
namespace {

using test_support::ErrorFrom;

Decimal Dec(std::uint64_t mantissa, std::uint8_t scale, bool negative = false) {
  Decimal d;
  d.lo = mantissa;
  d.scale = scale;
  d.negative = negative;
  return d;
}

TEST(AutomationErrorTest, CarriesNumberDescriptionAndReadableWhat) {
  EXPECT_STREQ(AutomationError(13, errors::StandardDescription(13)).what(),
               "Error 13: Type mismatch");
  EXPECT_STREQ(AutomationError(1234, "").what(), "Error 1234");

  EXPECT_STREQ(errors::StandardDescription(91), "Object variable or With block variable not set");
  EXPECT_STREQ(errors::StandardDescription(450),
               "Wrong number of arguments or invalid property assignment");
  EXPECT_STREQ(errors::StandardDescription(75), "Path/File access error");
  EXPECT_STREQ(errors::StandardDescription(12345), "");

  const AutomationError x = test_support::ErrorFrom([] { errors::Raise(errors::kOverflow); });
  EXPECT_EQ(x.Number(), 6);
  EXPECT_EQ(x.Description(), "Overflow");
  EXPECT_EQ(ErrorFrom([] { errors::Raise(601, "Problem(s) in processing occurred"); }).Number(),
            601);
}

// A Boolean is made from a bool alone; pointers used to convert silently to True.
static_assert(std::is_nothrow_constructible_v<Variant, bool>);
static_assert(std::is_convertible_v<bool, Variant>);
static_assert(!std::is_constructible_v<Variant, Instance*>);
static_assert(!std::is_constructible_v<Variant, const Instance*>);
static_assert(!std::is_constructible_v<Variant, void*>);
static_assert(!std::is_constructible_v<Variant, int*>);
static_assert(!std::is_constructible_v<Variant, Variant*>);
static_assert(!std::is_convertible_v<ObjectRef*, Variant>);
static_assert(!std::is_constructible_v<Variant, void (*)()>);

TEST(VariantTest, TypesAndTypedAccess) {
  EXPECT_EQ(Variant(true).Type(), VarType::Bool);
  EXPECT_EQ(Variant(false), Variant(false));
  EXPECT_EQ(Variant(ObjectRef()).Type(), VarType::Dispatch);  // a null reference is an object
  EXPECT_EQ(Variant(SafeArray(VarType::UI1)).Type(), kByteArrayType);
  EXPECT_EQ(Variant(std::shared_ptr<SafeArray>()).Type(), VarType::Empty);
  EXPECT_TRUE(Variant::Missing().IsMissing());
  EXPECT_FALSE(Variant(ErrorCode{5}).IsMissing());

  EXPECT_EQ(ErrorFrom([] { (void)Variant(1).String(); }).Number(), 13);
  EXPECT_EQ(ErrorFrom([] { (void)Variant("a").Object(); }).Number(), 13);
  EXPECT_EQ(ErrorFrom([] { (void)Variant().Array(); }).Number(), 13);
  EXPECT_EQ(ErrorFrom([] { Variant(2).MutableArray(); }).Number(), 13);
  ASSERT_NE(Variant(7).GetIf<std::int32_t>(), nullptr);
  EXPECT_EQ(Variant(7).GetIf<std::int16_t>(), nullptr);
}

TEST(VariantTest, EqualityIsTypeAndBitsExact) {
  EXPECT_EQ(Variant(), Variant());
  EXPECT_NE(Variant(), Variant(kNull));
  EXPECT_NE(Variant(std::int16_t{1}), Variant(1));
  EXPECT_NE(Variant(0.0), Variant(-0.0));
  EXPECT_NE(Variant(0.0f), Variant(-0.0f));
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(Variant(nan), Variant(nan));
  EXPECT_EQ(Variant(Date{nan}), Variant(Date{nan}));
  EXPECT_NE(Variant(Dec(15, 1)), Variant(Dec(150, 2)));  // same value, other scale
  EXPECT_EQ(Variant("abc"), Variant(std::string("abc")));

  SafeArray a(VarType::I4, {{-1, 1}});
  a.Set({0}, Variant(5));
  const Variant x(a);
  const Variant y(a);
  EXPECT_EQ(x, y);
  SafeArray b(VarType::I4, {{0, 2}});
  b.Set({1}, Variant(5));
  EXPECT_NE(x, Variant(b));  // same elements, other bounds
}

TEST(ChangeTypeTest, IntegerBoundariesOverflow) {
  EXPECT_EQ(ToI2(Variant(32767)), 32767);
  EXPECT_EQ(ToI2(Variant(-32768)), -32768);
  EXPECT_EQ(ErrorFrom([] { ToI2(Variant(32768)); }).Number(), 6);
  EXPECT_EQ(ErrorFrom([] { ToI2(Variant(-32769)); }).Number(), 6);
  EXPECT_EQ(ErrorFrom([] { ToI2(Variant(32767.5)); }).Number(), 6);  // rounds up to 32768
  EXPECT_EQ(ToI2(Variant(32766.5)), 32766);

  EXPECT_EQ(ToI4(Variant(2147483647.0)), 2147483647);
  EXPECT_EQ(ToI4(Variant(-2147483648.0)), std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(ErrorFrom([] { ToI4(Variant(2147483647.5)); }).Number(), 6);
  EXPECT_EQ(ErrorFrom([] { ToI4(Variant(1e300)); }).Number(), 6);
  EXPECT_EQ(ErrorFrom([] { ToI4(Variant(std::numeric_limits<double>::quiet_NaN())); }).Number(), 6);
  EXPECT_EQ(ErrorFrom([] { ToI4(Variant(std::numeric_limits<double>::infinity())); }).Number(), 6);

  EXPECT_EQ(ToUI1(Variant(255)), 255);
  EXPECT_EQ(ToUI1(Variant(-0.5)), 0);
  EXPECT_EQ(ErrorFrom([] { ToUI1(Variant(256)); }).Number(), 6);
  EXPECT_EQ(ErrorFrom([] { ToUI1(Variant(-1)); }).Number(), 6);
  EXPECT_EQ(ErrorFrom([] { ToUI1(Variant(255.5)); }).Number(), 6);
  EXPECT_EQ(ErrorFrom([] { ToUI1(Variant(Currency{2560000})); }).Number(), 6);
}

TEST(ChangeTypeTest, FloatToIntegerRoundsHalfToEven) {
  EXPECT_EQ(ToI4(Variant(0.5)), 0);
  EXPECT_EQ(ToI4(Variant(1.5)), 2);
  EXPECT_EQ(ToI4(Variant(2.5)), 2);
  EXPECT_EQ(ToI4(Variant(2.5000001)), 3);
  EXPECT_EQ(ToI4(Variant(-2.5)), -2);
  EXPECT_EQ(ToI4(Variant(-3.5)), -4);
  EXPECT_EQ(ToI2(Variant(2.5f)), 2);
  EXPECT_EQ(ToI4(Variant(Currency{25000})), 2);
  EXPECT_EQ(ToI4(Variant(Currency{35000})), 4);
  EXPECT_EQ(ToI4(Variant(Currency{-25001})), -3);
  EXPECT_EQ(ToI4(Variant(Date{1.5})), 2);
  EXPECT_EQ(ToI4(Variant("4.5")), 4);
  EXPECT_EQ(ToI4(Variant(Dec(55, 1, true))), -6);
}

TEST(ChangeTypeTest, NumbersToFloats) {
  EXPECT_EQ(ToR8(Variant(Currency{15000})), 1.5);
  EXPECT_EQ(ToR8(Variant(std::uint8_t{200})), 200.0);
  EXPECT_EQ(ToR4(Variant(0.1)), 0.1f);
  EXPECT_EQ(ErrorFrom([] { ToR4(Variant(1e39)); }).Number(), 6);
  EXPECT_TRUE(std::isnan(ToR4(Variant(std::numeric_limits<double>::quiet_NaN()))));
  EXPECT_TRUE(std::isinf(ToR4(Variant(-std::numeric_limits<double>::infinity()))));
  EXPECT_EQ(ToR8(Variant(Dec(1, 28))), 1e-28);
  EXPECT_EQ(ToR8(Variant("79228162514264337593543950335")), 79228162514264337593543950335.0);
}

TEST(ChangeTypeTest, BooleansBothWays) {
  EXPECT_EQ(ToI2(Variant(true)), -1);
  EXPECT_EQ(ToI4(Variant(false)), 0);
  EXPECT_EQ(ToR8(Variant(true)), -1.0);
  EXPECT_EQ(ToCy(Variant(true)).scaled, -10000);
  EXPECT_EQ(ToUI1(Variant(true)), 255);  // all bits set
  EXPECT_EQ(ToDecimal(Variant(true)), Dec(1, 0, true));
  EXPECT_EQ(ToBStr(Variant(true)), "True");
  EXPECT_EQ(ToBStr(Variant(false)), "False");

  EXPECT_TRUE(ToBool(Variant(0.3)));  // nonzero, not rounded
  EXPECT_TRUE(ToBool(Variant(std::int16_t{-7})));
  EXPECT_FALSE(ToBool(Variant(-0.0)));
  EXPECT_TRUE(ToBool(Variant(Currency{1})));
  EXPECT_FALSE(ToBool(Variant(Dec(0, 5, true))));
  EXPECT_TRUE(ToBool(Variant(" tRuE ")));
  EXPECT_FALSE(ToBool(Variant("FALSE")));
  EXPECT_FALSE(ToBool(Variant("0.000")));
  EXPECT_TRUE(ToBool(Variant("-0.0001")));
  EXPECT_TRUE(ToBool(Variant("1e-500")));
  EXPECT_EQ(ErrorFrom([] { ToBool(Variant("yes")); }).Number(), 13);
  EXPECT_EQ(ErrorFrom([] { ToBool(Variant("")); }).Number(), 13);
}

TEST(ChangeTypeTest, EmptyAndNull) {
  const Variant empty;
  EXPECT_EQ(ChangeType(empty, VarType::I2), Variant(std::int16_t{0}));
  EXPECT_EQ(ChangeType(empty, VarType::BStr), Variant(""));
  EXPECT_EQ(ChangeType(empty, VarType::Bool), Variant(false));
  EXPECT_EQ(ChangeType(empty, VarType::Date), Variant(Date{0}));
  EXPECT_EQ(ChangeType(empty, VarType::Cy), Variant(Currency{0}));
  EXPECT_EQ(ChangeType(empty, VarType::Decimal), Variant(Decimal{}));
  EXPECT_EQ(ChangeType(empty, VarType::Dispatch), Variant(ObjectRef()));
  EXPECT_EQ(ChangeType(empty, VarType::Null), Variant(kNull));
  const Variant unallocated = ChangeType(empty, VarType::Array | VarType::I4);
  EXPECT_EQ(unallocated.Type(), VarType::Array | VarType::I4);
  EXPECT_FALSE(unallocated.Array().IsAllocated());

  const Variant null(kNull);
  for (VarType t : {VarType::I2, VarType::I4, VarType::R4, VarType::R8, VarType::Cy, VarType::Date,
                    VarType::BStr, VarType::Bool, VarType::Decimal, VarType::UI1, VarType::Dispatch,
                    kByteArrayType}) {
    EXPECT_EQ(ErrorFrom([&] { ChangeType(null, t); }).Number(), 94) << Code(t);
  }
  EXPECT_TRUE(ChangeType(null, VarType::Null).IsNull());
  EXPECT_TRUE(ChangeType(null, VarType::Variant).IsNull());
  EXPECT_TRUE(ChangeType(null, VarType::Empty).IsEmpty());
  EXPECT_EQ(ErrorFrom([] { ChangeType(Variant(1), VarType::Null); }).Number(), 13);
}

TEST(ChangeTypeTest, StringsToNumbers) {
  EXPECT_EQ(ToI4(Variant("  42\t")), 42);
  EXPECT_EQ(ToI4(Variant("+7")), 7);
  EXPECT_EQ(ToI4(Variant("-1e3")), -1000);
  EXPECT_EQ(ToI2(Variant(".5")), 0);
  EXPECT_EQ(ToR8(Variant("5.")), 5.0);
  EXPECT_EQ(ToR8(Variant("1e-400")), 0.0);
  EXPECT_EQ(ToI4(Variant("0.0000000000000000000000000000000000000001")), 0);
  for (const char* bad : {"", " ", "abc", "1,000", "12abc", "1e", "--1", ".", "0x10", "1 2"}) {
    EXPECT_EQ(ErrorFrom([&] { ToI4(Variant(bad)); }).Number(), 13) << bad;
    EXPECT_EQ(ErrorFrom([&] { ToR8(Variant(bad)); }).Number(), 13) << bad;
  }
  EXPECT_EQ(ErrorFrom([] { ToI2(Variant("40000")); }).Number(), 6);
  EXPECT_EQ(ErrorFrom([] { ToR8(Variant("1e400")); }).Number(), 6);
  EXPECT_EQ(ErrorFrom([] { ToR4(Variant("1e39")); }).Number(), 6);
  EXPECT_EQ(ErrorFrom([] { ToI4(Variant("1e400")); }).Number(), 6);
}

TEST(ChangeTypeTest, NumbersToStrings) {
  EXPECT_EQ(ToBStr(Variant(-32768)), "-32768");
  EXPECT_EQ(ToBStr(Variant(0.1)), "0.1");
  EXPECT_EQ(ToBStr(Variant(0.1 + 0.2)), "0.3");  // 15 significant digits
  EXPECT_EQ(ToBStr(Variant(1.0 / 3)), "0.333333333333333");
  EXPECT_EQ(ToBStr(Variant(1e20)), "1E+20");
  EXPECT_EQ(ToBStr(Variant(1e-5)), "1E-05");
  EXPECT_EQ(ToBStr(Variant(0.1f)), "0.1");
  EXPECT_EQ(ToBStr(Variant(std::numeric_limits<double>::quiet_NaN())), "NaN");
  EXPECT_EQ(ToBStr(Variant(-std::numeric_limits<double>::infinity())), "-Infinity");
  EXPECT_TRUE(std::isnan(ToR8(Variant("NaN"))));
  EXPECT_EQ(ToR8(Variant("-Infinity")), -std::numeric_limits<double>::infinity());
  EXPECT_EQ(ToBStr(Variant(std::uint8_t{255})), "255");
}

TEST(ChangeTypeTest, CurrencyScalingRoundingAndRange) {
  EXPECT_EQ(ToCy(Variant(1.5)).scaled, 15000);
  EXPECT_EQ(ToCy(Variant("0.00005")).scaled, 0);  // half to even
  EXPECT_EQ(ToCy(Variant("0.00015")).scaled, 2);
  EXPECT_EQ(ToCy(Variant("0.00025")).scaled, 2);
  EXPECT_EQ(ToCy(Variant("-0.00035")).scaled, -4);
  EXPECT_EQ(ToCy(Variant("922337203685477.5807")).scaled, std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(ToCy(Variant("-922337203685477.5808")).scaled,
            std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(ErrorFrom([] { ToCy(Variant("922337203685477.5808")); }).Number(), 6);
  EXPECT_EQ(ErrorFrom([] { ToCy(Variant(1e15)); }).Number(), 6);
  EXPECT_EQ(ErrorFrom([] { ToCy(Variant(std::numeric_limits<double>::quiet_NaN())); }).Number(), 6);
  EXPECT_EQ(ToCy(Variant(std::numeric_limits<std::int32_t>::max())).scaled,
            std::int64_t{2147483647} * 10000);
  EXPECT_EQ(ToCy(Variant(Dec(123456789, 6))).scaled, 1234568);  // 123.456789

  EXPECT_EQ(ToBStr(Variant(Currency{15000})), "1.5");
  EXPECT_EQ(ToBStr(Variant(Currency{-1})), "-0.0001");
  EXPECT_EQ(ToBStr(Variant(Currency{std::numeric_limits<std::int64_t>::min()})),
            "-922337203685477.5808");
  EXPECT_EQ(ToDecimal(Variant(Currency{-15000})), Dec(15000, 4, true));
}

TEST(ChangeTypeTest, DecimalsWithScaleAndSign) {
  EXPECT_EQ(ToDecimal(Variant("123.4500")), Dec(1234500, 4));
  EXPECT_EQ(ToDecimal(Variant("-0.5")), Dec(5, 1, true));
  EXPECT_EQ(ToDecimal(Variant("-0")), Dec(0, 0));
  EXPECT_EQ(ToDecimal(Variant("1.5e2")), Dec(150, 0));
  EXPECT_EQ(ToDecimal(Variant("15e-3")), Dec(15, 3));
  EXPECT_EQ(ToDecimal(Variant(-42)), Dec(42, 0, true));
  EXPECT_EQ(ToDecimal(Variant(0.1)), Dec(1, 1));
  EXPECT_EQ(ToDecimal(Variant(0.1f)), Dec(1, 1));
  EXPECT_EQ(ErrorFrom([] { ToDecimal(Variant(std::numeric_limits<double>::infinity())); }).Number(),
            6);
  EXPECT_EQ(ErrorFrom([] { ToDecimal(Variant(1e29)); }).Number(), 6);

  // The largest magnitude, 2^96 - 1, and one more.
  const Decimal max = ToDecimal(Variant("79228162514264337593543950335"));
  EXPECT_EQ(max.hi, 0xFFFFFFFFu);
  EXPECT_EQ(max.lo, ~std::uint64_t{0});
  EXPECT_EQ(max.scale, 0);
  EXPECT_EQ(ToBStr(Variant(max)), "79228162514264337593543950335");
  EXPECT_EQ(ErrorFrom([] { ToDecimal(Variant("79228162514264337593543950336")); }).Number(), 6);
  // Too many places: rounded half to even to 28.
  EXPECT_EQ(ToDecimal(Variant("0.00000000000000000000000000015")), Dec(2, 28));
  EXPECT_EQ(ToDecimal(Variant("0.00000000000000000000000000025")), Dec(2, 28));
  // Too many digits for 96 bits: the last places go.
  const Decimal long_one = ToDecimal(Variant("1.2345678901234567890123456789"));
  EXPECT_EQ(long_one.scale, 28);
  EXPECT_EQ(ToBStr(Variant(long_one)), "1.2345678901234567890123456789");
  const Decimal longer = ToDecimal(Variant("12.345678901234567890123456789"));
  EXPECT_EQ(longer.scale, 27);

  EXPECT_EQ(ToBStr(Variant(Dec(1234500, 4, true))), "-123.45");
  EXPECT_EQ(ToBStr(Variant(Dec(5, 3))), "0.005");
  EXPECT_EQ(ToBStr(Variant(Dec(0, 3, true))), "0");
  EXPECT_EQ(ToI4(Variant(Dec(25, 1))), 2);
  EXPECT_EQ(ToI4(Variant(Dec(35, 1, true))), -4);
  EXPECT_EQ(ErrorFrom([] { ToI4(Variant(ToDecimal(Variant("2147483647.5")))); }).Number(), 6);
  EXPECT_EQ(ToR8(Variant(Dec(15, 1, true))), -1.5);
  EXPECT_EQ(ErrorFrom([] { ToR8(Variant(Dec(1, 29))); }).Number(), 5);  // no such scale
}

TEST(ChangeTypeTest, Dates) {
  EXPECT_EQ(ToDate(Variant("1899-12-30")).days, 0.0);
  EXPECT_EQ(ToDate(Variant("1900-01-01")).days, 2.0);
  EXPECT_EQ(ToDate(Variant("2000-02-29 12:00")).days, 36585.5);
  EXPECT_EQ(ToDate(Variant("2000-02-29T18:00:00")).days, 36585.75);
  EXPECT_EQ(ToDate(Variant("06:00:00")).days, 0.25);
  EXPECT_EQ(ToDate(Variant("1899-12-29 06:00:00")).days, -1.25);  // time counts forward
  for (const char* bad : {"2023-02-29", "2024-13-01", "2024-01-01 24:00", "yesterday", "45000"}) {
    EXPECT_EQ(ErrorFrom([&] { ToDate(Variant(bad)); }).Number(), 13) << bad;
  }
  EXPECT_EQ(ToBStr(Variant(Date{36585.5})), "2000-02-29 12:00:00");
  EXPECT_EQ(ToBStr(Variant(Date{2.0})), "1900-01-01");
  EXPECT_EQ(ToBStr(Variant(Date{-1.25})), "1899-12-29 06:00:00");
  EXPECT_EQ(ToBStr(Variant(Date{0.5})), "12:00:00");
  EXPECT_EQ(ToBStr(Variant(Date{-657434.0})), "0100-01-01");
  EXPECT_EQ(ToBStr(Variant(Date{2958465.0})), "9999-12-31");
  EXPECT_EQ(ToDate(Variant(ToBStr(Variant(Date{45123.75})))).days, 45123.75);
  EXPECT_EQ(ToDate(Variant(45000)).days, 45000.0);
  EXPECT_EQ(ErrorFrom([] { ToDate(Variant(1e10)); }).Number(), 6);
  EXPECT_EQ(ErrorFrom([] { ToDate(Variant(std::numeric_limits<double>::quiet_NaN())); }).Number(),
            6);
  EXPECT_EQ(ErrorFrom([] { ToBStr(Variant(Date{1e10})); }).Number(), 5);
}

TEST(ChangeTypeTest, ArraysAndOtherMismatches) {
  const Variant ints(SafeArray(VarType::I4, {{0, 1}}));
  EXPECT_EQ(ChangeType(ints, VarType::Array | VarType::I4), ints);
  EXPECT_EQ(ChangeType(ints, VarType::Variant), ints);
  EXPECT_EQ(ErrorFrom([&] { ChangeType(ints, VarType::Array | VarType::I2); }).Number(), 13);
  EXPECT_EQ(ErrorFrom([&] { ChangeType(ints, VarType::I4); }).Number(), 13);
  EXPECT_EQ(ErrorFrom([&] { ChangeType(ints, VarType::BStr); }).Number(), 13);
  EXPECT_EQ(ErrorFrom([&] { ChangeType(ints, VarType::Empty); }).Number(), 13);
  EXPECT_EQ(ErrorFrom([] { ChangeType(Variant(1), kByteArrayType); }).Number(), 13);
  EXPECT_EQ(ErrorFrom([] { ChangeType(Variant("x"), VarType::Dispatch); }).Number(), 13);
  EXPECT_EQ(ErrorFrom([] { ChangeType(Variant(ErrorCode{5}), VarType::I4); }).Number(), 13);
  EXPECT_EQ(ErrorFrom([] { ChangeType(Variant(1), static_cast<VarType>(99)); }).Number(), 13);
  EXPECT_EQ(ChangeType(Variant(ErrorCode{5}), VarType::Error), Variant(ErrorCode{5}));
  EXPECT_EQ(ChangeType(Variant(3.0), VarType::Variant), Variant(3.0));
  EXPECT_EQ(ChangeType(Variant(3.0), VarType::I2), Variant(std::int16_t{3}));
}

// A class with a default member, and one without.
struct Cell {
  std::int32_t value = 0;
  ObjectRef next;
};
struct Plain {
  std::int32_t value = 0;
};

class ObjectConversionTest : public ::testing::Test {
 protected:
  ObjectRef MakeCell(std::int32_t value) {
    ObjectRef o = MakeObject<Cell>(cell_info_);
    o.As<Cell>()->value = value;
    return o;
  }
  std::shared_ptr<const ClassInfo> cell_info_ =
      ClassBuilder<Cell>("Cell").Property("Value", &Cell::value).Default().BuildInfo();
  std::shared_ptr<const ClassInfo> chained_info_ =
      ClassBuilder<Cell>("Chained").Property("Next", &Cell::next).Default().BuildInfo();
  std::shared_ptr<const ClassInfo> plain_info_ =
      ClassBuilder<Plain>("Plain").Property("Value", &Plain::value).BuildInfo();
};

TEST_F(ObjectConversionTest, ObjectsConvertThroughTheirDefaultMember) {
  const Variant cell(MakeCell(41));
  EXPECT_EQ(ToI4(cell), 41);
  EXPECT_EQ(ToBStr(cell), "41");
  EXPECT_EQ(ChangeType(cell, VarType::R8), Variant(41.0));
  EXPECT_EQ(ValueOf(cell), Variant(41));
  EXPECT_EQ(ChangeType(cell, VarType::Dispatch), cell);
  EXPECT_EQ(ChangeType(cell, VarType::Variant), cell);

  // A default member that yields an object is followed.
  ObjectRef chained = MakeObject<Cell>(chained_info_);
  chained.As<Cell>()->next = MakeCell(7);
  EXPECT_EQ(ValueOf(Variant(chained)), Variant(7));
  EXPECT_EQ(ToI2(Variant(chained)), 7);

  // An object whose default member leads back to itself does not loop forever.
  ObjectRef loop = MakeObject<Cell>(chained_info_);
  loop.As<Cell>()->next = loop;
  EXPECT_NE(ErrorFrom([&] { ValueOf(Variant(loop)); }).Number(), 0);
  loop.As<Cell>()->next.Reset();
}

TEST_F(ObjectConversionTest, MissingDefaultMemberAndNullReference) {
  const Variant plain(MakeObject<Plain>(plain_info_));
  EXPECT_EQ(ErrorFrom([&] { ToI4(plain); }).Number(), 438);
  EXPECT_EQ(ErrorFrom([&] { ValueOf(plain); }).Number(), 438);
  const Variant nothing{ObjectRef()};
  EXPECT_EQ(ErrorFrom([&] { ToI4(nothing); }).Number(), 91);
  EXPECT_EQ(ErrorFrom([&] { ToBStr(nothing); }).Number(), 91);
  EXPECT_EQ(ErrorFrom([&] { ValueOf(nothing); }).Number(), 91);
  EXPECT_EQ(ChangeType(nothing, VarType::Dispatch), nothing);
}

TEST(DisplayTest, TypeNamesAndDisplayText) {
  EXPECT_EQ(TypeName(VarType::I2), "Integer");
  EXPECT_EQ(TypeName(VarType::I4), "Long");
  EXPECT_EQ(TypeName(VarType::BStr), "String");
  EXPECT_EQ(TypeName(kByteArrayType), "Byte()");
  EXPECT_EQ(TypeName(VarType::Array | VarType::Variant), "Variant()");
  EXPECT_EQ(TypeName(static_cast<VarType>(99)), "Unknown");

  EXPECT_EQ(DisplayText(Variant()), "");
  EXPECT_EQ(DisplayText(Variant(kNull)), "Null");
  EXPECT_EQ(DisplayText(Variant(true)), "True");
  EXPECT_EQ(DisplayText(Variant(2.5)), "2.5");
  EXPECT_EQ(DisplayText(Variant(ObjectRef())), "Nothing");
  EXPECT_EQ(DisplayText(Variant::Missing()), "Missing");
  EXPECT_EQ(DisplayText(Variant(SafeArray(VarType::I4, {{-1, 1}, {0, 2}}))),
            "Long(-1 To 1, 0 To 2)");
  EXPECT_EQ(DisplayText(Variant(SafeArray::UnallocatedBytes())), "Byte()");
  // Never raises for values that do not convert.
  EXPECT_FALSE(DisplayText(Variant(Date{1e300})).empty());
  EXPECT_FALSE(DisplayText(Variant(Dec(1, 99))).empty());
}

}  // namespace
}  // namespace replikon
