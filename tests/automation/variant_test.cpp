#include "replikon/automation/variant.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <initializer_list>
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

// A value and what a change of type must make of it, type and bits.
struct C {
  Variant from;
  Variant to;
};

void ExpectChanges(VarType type, std::initializer_list<C> cases) {
  for (const C& c : cases) EXPECT_EQ(ChangeType(c.from, type), c.to) << DisplayText(c.from);
}

// Each value changed to `type` raises error `number`.
void ExpectRaises(std::int32_t number, VarType type, std::initializer_list<Variant> from) {
  for (const Variant& v : from) {
    EXPECT_EQ(ErrorFrom([&] { ChangeType(v, type); }).Number(), number) << DisplayText(v);
  }
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
  using std::int16_t;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  ExpectChanges(VarType::I2, {C{Variant(32767), Variant(int16_t{32767})},
                              C{Variant(-32768), Variant(int16_t{-32768})},
                              C{Variant(32766.5), Variant(int16_t{32766})}});
  ExpectChanges(VarType::I4, {C{Variant(2147483647.0), Variant(2147483647)},
                              C{Variant(-2147483648.0), Variant(INT32_MIN)}});
  ExpectChanges(VarType::UI1, {C{Variant(255), Variant(std::uint8_t{255})},
                               C{Variant(-0.5), Variant(std::uint8_t{0})}});
  // 32767.5 rounds up to 32768.
  ExpectRaises(6, VarType::I2, {Variant(32768), Variant(-32769), Variant(32767.5)});
  ExpectRaises(6, VarType::I4,
               {Variant(2147483647.5), Variant(1e300), Variant(nan),
                Variant(std::numeric_limits<double>::infinity())});
  ExpectRaises(6, VarType::UI1,
               {Variant(256), Variant(-1), Variant(255.5), Variant(Currency{2560000})});
}

TEST(ChangeTypeTest, FloatToIntegerRoundsHalfToEven) {
  ExpectChanges(VarType::I4,
                {C{Variant(0.5), Variant(0)}, C{Variant(1.5), Variant(2)},
                 C{Variant(2.5), Variant(2)}, C{Variant(2.5000001), Variant(3)},
                 C{Variant(-2.5), Variant(-2)}, C{Variant(-3.5), Variant(-4)},
                 C{Variant(Currency{25000}), Variant(2)}, C{Variant(Currency{35000}), Variant(4)},
                 C{Variant(Currency{-25001}), Variant(-3)}, C{Variant(Date{1.5}), Variant(2)},
                 C{Variant("4.5"), Variant(4)}, C{Variant(Dec(55, 1, true)), Variant(-6)}});
  EXPECT_EQ(ToI2(Variant(2.5f)), 2);
}

TEST(ChangeTypeTest, NumbersToFloats) {
  ExpectChanges(
      VarType::R8,
      {C{Variant(Currency{15000}), Variant(1.5)}, C{Variant(std::uint8_t{200}), Variant(200.0)},
       C{Variant(Dec(1, 28)), Variant(1e-28)},
       C{Variant("79228162514264337593543950335"), Variant(79228162514264337593543950335.0)}});
  EXPECT_EQ(ToR4(Variant(0.1)), 0.1f);
  ExpectRaises(6, VarType::R4, {Variant(1e39), Variant("1e39")});
  EXPECT_TRUE(std::isnan(ToR4(Variant(std::numeric_limits<double>::quiet_NaN()))));
  EXPECT_TRUE(std::isinf(ToR4(Variant(-std::numeric_limits<double>::infinity()))));
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

  // Numbers are true when nonzero, not rounded first.
  const Variant yes(true);
  const Variant no(false);
  ExpectChanges(VarType::Bool,
                {C{Variant(0.3), yes}, C{Variant(std::int16_t{-7}), yes}, C{Variant(-0.0), no},
                 C{Variant(Currency{1}), yes}, C{Variant(Dec(0, 5, true)), no},
                 C{Variant(" tRuE "), yes}, C{Variant("FALSE"), no}, C{Variant("0.000"), no},
                 C{Variant("-0.0001"), yes}, C{Variant("1e-500"), yes}});
  ExpectRaises(13, VarType::Bool, {Variant("yes"), Variant("")});
}

TEST(ChangeTypeTest, EmptyAndNull) {
  const Variant empty;
  for (const Variant& want :
       {Variant(std::int16_t{0}), Variant(""), Variant(false), Variant(Date{0}),
        Variant(Currency{0}), Variant(Decimal{}), Variant(ObjectRef()), Variant(kNull)}) {
    EXPECT_EQ(ChangeType(empty, want.Type()), want) << Code(want.Type());
  }
  const Variant unallocated = ChangeType(empty, VarType::Array | VarType::I4);
  EXPECT_EQ(unallocated.Type(), VarType::Array | VarType::I4);
  EXPECT_FALSE(unallocated.Array().IsAllocated());

  const Variant null(kNull);
  for (VarType t : {VarType::I2, VarType::I4, VarType::R4, VarType::R8, VarType::Cy, VarType::Date,
                    VarType::BStr, VarType::Bool, VarType::Decimal, VarType::UI1, VarType::Dispatch,
                    kByteArrayType}) {
    ExpectRaises(94, t, {null});
  }
  EXPECT_TRUE(ChangeType(null, VarType::Null).IsNull());
  EXPECT_TRUE(ChangeType(null, VarType::Variant).IsNull());
  EXPECT_TRUE(ChangeType(null, VarType::Empty).IsEmpty());
  ExpectRaises(13, VarType::Null, {Variant(1)});
}

TEST(ChangeTypeTest, StringsToNumbers) {
  ExpectChanges(VarType::I4,
                {C{Variant("  42\t"), Variant(42)}, C{Variant("+7"), Variant(7)},
                 C{Variant("-1e3"), Variant(-1000)},
                 C{Variant("0.0000000000000000000000000000000000000001"), Variant(0)}});
  EXPECT_EQ(ToI2(Variant(".5")), 0);
  ExpectChanges(VarType::R8, {C{Variant("5."), Variant(5.0)}, C{Variant("1e-400"), Variant(0.0)}});
  for (const char* bad : {"", " ", "abc", "1,000", "12abc", "1e", "--1", ".", "0x10", "1 2"}) {
    ExpectRaises(13, VarType::I4, {Variant(bad)});
    ExpectRaises(13, VarType::R8, {Variant(bad)});
  }
  ExpectRaises(6, VarType::I2, {Variant("40000")});
  ExpectRaises(6, VarType::R8, {Variant("1e400")});
  ExpectRaises(6, VarType::I4, {Variant("1e400")});
}

TEST(ChangeTypeTest, NumbersToStrings) {
  // Doubles to 15 significant digits.
  ExpectChanges(
      VarType::BStr,
      {C{Variant(-32768), Variant("-32768")}, C{Variant(0.1), Variant("0.1")},
       C{Variant(0.1 + 0.2), Variant("0.3")}, C{Variant(1.0 / 3), Variant("0.333333333333333")},
       C{Variant(1e20), Variant("1E+20")}, C{Variant(1e-5), Variant("1E-05")},
       C{Variant(0.1f), Variant("0.1")}, C{Variant(std::uint8_t{255}), Variant("255")},
       C{Variant(std::numeric_limits<double>::quiet_NaN()), Variant("NaN")},
       C{Variant(-std::numeric_limits<double>::infinity()), Variant("-Infinity")}});
  EXPECT_TRUE(std::isnan(ToR8(Variant("NaN"))));
  EXPECT_EQ(ToR8(Variant("-Infinity")), -std::numeric_limits<double>::infinity());
}

TEST(ChangeTypeTest, CurrencyScalingRoundingAndRange) {
  // Rounded half to even at the fourth place.
  ExpectChanges(
      VarType::Cy,
      {C{Variant(1.5), Variant(Currency{15000})}, C{Variant("0.00005"), Variant(Currency{0})},
       C{Variant("0.00015"), Variant(Currency{2})}, C{Variant("0.00025"), Variant(Currency{2})},
       C{Variant("-0.00035"), Variant(Currency{-4})},
       C{Variant("922337203685477.5807"), Variant(Currency{INT64_MAX})},
       C{Variant("-922337203685477.5808"), Variant(Currency{INT64_MIN})},
       C{Variant(INT32_MAX), Variant(Currency{std::int64_t{INT32_MAX} * 10000})},
       C{Variant(Dec(123456789, 6)), Variant(Currency{1234568})}});
  ExpectRaises(6, VarType::Cy,
               {Variant("922337203685477.5808"), Variant(1e15),
                Variant(std::numeric_limits<double>::quiet_NaN())});

  ExpectChanges(VarType::BStr, {C{Variant(Currency{15000}), Variant("1.5")},
                                C{Variant(Currency{-1}), Variant("-0.0001")},
                                C{Variant(Currency{INT64_MIN}), Variant("-922337203685477.5808")}});
  EXPECT_EQ(ToDecimal(Variant(Currency{-15000})), Dec(15000, 4, true));
}

TEST(ChangeTypeTest, DecimalsWithScaleAndSign) {
  // Too many places are rounded half to even to 28.
  ExpectChanges(
      VarType::Decimal,
      {C{Variant("123.4500"), Variant(Dec(1234500, 4))},
       C{Variant("-0.5"), Variant(Dec(5, 1, true))}, C{Variant("-0"), Variant(Dec(0, 0))},
       C{Variant("1.5e2"), Variant(Dec(150, 0))}, C{Variant("15e-3"), Variant(Dec(15, 3))},
       C{Variant(-42), Variant(Dec(42, 0, true))}, C{Variant(0.1), Variant(Dec(1, 1))},
       C{Variant(0.1f), Variant(Dec(1, 1))},
       C{Variant("0.00000000000000000000000000015"), Variant(Dec(2, 28))},
       C{Variant("0.00000000000000000000000000025"), Variant(Dec(2, 28))}});
  // The largest magnitude, 2^96 - 1, and one more.
  const Decimal max = ToDecimal(Variant("79228162514264337593543950335"));
  EXPECT_EQ(max, (Decimal{0xFFFFFFFFu, ~std::uint64_t{0}, 0, false}));
  EXPECT_EQ(ToBStr(Variant(max)), "79228162514264337593543950335");
  ExpectRaises(6, VarType::Decimal,
               {Variant(std::numeric_limits<double>::infinity()), Variant(1e29),
                Variant("79228162514264337593543950336")});
  // Too many digits for 96 bits: the last places go.
  const Decimal long_one = ToDecimal(Variant("1.2345678901234567890123456789"));
  EXPECT_EQ(long_one.scale, 28);
  EXPECT_EQ(ToBStr(Variant(long_one)), "1.2345678901234567890123456789");
  EXPECT_EQ(ToDecimal(Variant("12.345678901234567890123456789")).scale, 27);

  ExpectChanges(VarType::BStr, {C{Variant(Dec(1234500, 4, true)), Variant("-123.45")},
                                C{Variant(Dec(5, 3)), Variant("0.005")},
                                C{Variant(Dec(0, 3, true)), Variant("0")}});
  ExpectChanges(VarType::I4,
                {C{Variant(Dec(25, 1)), Variant(2)}, C{Variant(Dec(35, 1, true)), Variant(-4)}});
  ExpectRaises(6, VarType::I4, {Variant(ToDecimal(Variant("2147483647.5")))});
  EXPECT_EQ(ToR8(Variant(Dec(15, 1, true))), -1.5);
  ExpectRaises(5, VarType::R8, {Variant(Dec(1, 29))});  // no such scale
}

TEST(ChangeTypeTest, Dates) {
  // Before day 0 the time of day still counts forward.
  ExpectChanges(VarType::Date, {C{Variant("1899-12-30"), Variant(Date{0.0})},
                                C{Variant("1900-01-01"), Variant(Date{2.0})},
                                C{Variant("2000-02-29 12:00"), Variant(Date{36585.5})},
                                C{Variant("2000-02-29T18:00:00"), Variant(Date{36585.75})},
                                C{Variant("06:00:00"), Variant(Date{0.25})},
                                C{Variant("1899-12-29 06:00:00"), Variant(Date{-1.25})},
                                C{Variant(45000), Variant(Date{45000.0})}});
  ExpectRaises(13, VarType::Date,
               {Variant("2023-02-29"), Variant("2024-13-01"), Variant("2024-01-01 24:00"),
                Variant("yesterday"), Variant("45000")});
  ExpectChanges(VarType::BStr, {C{Variant(Date{36585.5}), Variant("2000-02-29 12:00:00")},
                                C{Variant(Date{2.0}), Variant("1900-01-01")},
                                C{Variant(Date{-1.25}), Variant("1899-12-29 06:00:00")},
                                C{Variant(Date{0.5}), Variant("12:00:00")},
                                C{Variant(Date{-657434.0}), Variant("0100-01-01")},
                                C{Variant(Date{2958465.0}), Variant("9999-12-31")}});
  EXPECT_EQ(ToDate(Variant(ToBStr(Variant(Date{45123.75})))).days, 45123.75);
  ExpectRaises(6, VarType::Date,
               {Variant(1e10), Variant(std::numeric_limits<double>::quiet_NaN())});
  ExpectRaises(5, VarType::BStr, {Variant(Date{1e10})});
}

TEST(ChangeTypeTest, ArraysAndOtherMismatches) {
  const Variant ints(SafeArray(VarType::I4, {{0, 1}}));
  EXPECT_EQ(ChangeType(ints, VarType::Array | VarType::I4), ints);
  EXPECT_EQ(ChangeType(ints, VarType::Variant), ints);
  for (VarType t : {VarType::Array | VarType::I2, VarType::I4, VarType::BStr, VarType::Empty}) {
    ExpectRaises(13, t, {ints});
  }
  ExpectRaises(13, kByteArrayType, {Variant(1)});
  ExpectRaises(13, VarType::Dispatch, {Variant("x")});
  ExpectRaises(13, VarType::I4, {Variant(ErrorCode{5})});
  ExpectRaises(13, static_cast<VarType>(99), {Variant(1)});
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
