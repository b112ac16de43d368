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
  return Decimal{0, mantissa, scale, negative};
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();

// A value and what changing it to the type of `to` must give, type and bits.
struct C {
  Variant from;
  Variant to;
};

void ExpectChanges(std::initializer_list<C> cases) {
  for (const C& c : cases) {
    EXPECT_EQ(ChangeType(c.from, c.to.Type()), c.to)
        << DisplayText(c.from) << " to " << TypeName(c.to.Type());
  }
}

// Each value changed to `type` raises error `number`.
void ExpectRaises(std::int32_t number, VarType type, std::initializer_list<Variant> from) {
  for (const Variant& v : from) {
    EXPECT_EQ(ErrorFrom([&] { ChangeType(v, type); }).Number(), number) << DisplayText(v);
  }
}

// A Boolean is made from a bool alone; pointers used to convert silently to True.
static_assert(std::is_nothrow_constructible_v<Variant, bool>);
static_assert(std::is_convertible_v<bool, Variant>);
static_assert(!std::is_constructible_v<Variant, Instance*>);
static_assert(!std::is_constructible_v<Variant, void*>);
static_assert(!std::is_convertible_v<ObjectRef*, Variant>);
static_assert(!std::is_constructible_v<Variant, void (*)()>);

TEST(VariantTest, TypesTypedAccessAndEqualityOfTypeAndBits) {
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

  // Equality is of type and bits.
  EXPECT_EQ(Variant(), Variant());
  EXPECT_NE(Variant(), Variant(kNull));
  EXPECT_NE(Variant(std::int16_t{1}), Variant(1));
  EXPECT_NE(Variant(0.0), Variant(-0.0));
  EXPECT_NE(Variant(0.0f), Variant(-0.0f));
  EXPECT_EQ(Variant(kNaN), Variant(kNaN));
  EXPECT_EQ(Variant(Date{kNaN}), Variant(Date{kNaN}));
  EXPECT_NE(Variant(Dec(15, 1)), Variant(Dec(150, 2)));  // same value, other scale
  EXPECT_EQ(Variant("abc"), Variant(std::string("abc")));

  SafeArray a(VarType::I4, {{-1, 1}});
  a.Set({0}, Variant(5));
  EXPECT_EQ(Variant(a), Variant(a));
  SafeArray b(VarType::I4, {{0, 2}});
  b.Set({1}, Variant(5));
  EXPECT_NE(Variant(a), Variant(b));  // same elements, other bounds
}

TEST(ChangeTypeTest, BetweenIntegersAndFloatsRoundHalfToEvenAndOverflowPastTheBounds) {
  using std::int16_t;
  using std::uint8_t;
  ExpectChanges({C{32767, int16_t{32767}}, C{-32768, int16_t{-32768}}, C{32766.5, int16_t{32766}},
                 C{2147483647.0, 2147483647}, C{-2147483648.0, INT32_MIN}, C{255, uint8_t{255}},
                 C{-0.5, uint8_t{0}}});
  ExpectRaises(6, VarType::I2, {32768, -32769, 32767.5});  // 32767.5 rounds up to 32768
  ExpectRaises(6, VarType::I4, {2147483647.5, 1e300, kNaN, kInfinity});
  ExpectRaises(6, VarType::UI1, {256, -1, 255.5, Currency{2560000}});
  ExpectChanges({C{0.5, 0}, C{1.5, 2}, C{2.5, 2}, C{2.5000001, 3}, C{-2.5, -2}, C{-3.5, -4},
                 C{2.5f, std::int16_t{2}}, C{Currency{25000}, 2}, C{Currency{35000}, 4},
                 C{Currency{-25001}, -3}, C{Date{1.5}, 2}, C{"4.5", 4}, C{Dec(55, 1, true), -6}});

  // Numbers to floats.
  ExpectChanges({C{Currency{15000}, 1.5}, C{std::uint8_t{200}, 200.0}, C{0.1, 0.1f},
                 C{Dec(1, 28), 1e-28},
                 C{"79228162514264337593543950335", 79228162514264337593543950335.0}});
  ExpectRaises(6, VarType::R4, {1e39, "1e39"});
  EXPECT_TRUE(std::isnan(ToR4(Variant(kNaN))));
  EXPECT_TRUE(std::isinf(ToR4(Variant(-kInfinity))));
}

TEST(ChangeTypeTest, BooleansBothWaysEmptyAndNull) {
  // True is all bits set.
  ExpectChanges({C{true, std::int16_t{-1}}, C{false, 0}, C{true, -1.0}, C{true, Currency{-10000}},
                 C{true, std::uint8_t{255}}, C{true, Dec(1, 0, true)}, C{true, "True"},
                 C{false, "False"}});
  // Numbers are true when nonzero, not rounded first.
  ExpectChanges({C{0.3, true}, C{std::int16_t{-7}, true}, C{-0.0, false}, C{Currency{1}, true},
                 C{Dec(0, 5, true), false}, C{" tRuE ", true}, C{"FALSE", false}, C{"0.000", false},
                 C{"-0.0001", true}, C{"1e-500", true}});
  ExpectRaises(13, VarType::Bool, {"yes", ""});

  const Variant empty;
  const Variant null(kNull);
  ExpectChanges({C{empty, std::int16_t{0}}, C{empty, ""}, C{empty, false}, C{empty, Date{0}},
                 C{empty, Currency{0}}, C{empty, Decimal{}}, C{empty, ObjectRef()}, C{empty, kNull},
                 C{null, kNull}, C{null, empty}});
  const Variant unallocated = ChangeType(empty, VarType::Array | VarType::I4);
  EXPECT_EQ(unallocated.Type(), VarType::Array | VarType::I4);
  EXPECT_FALSE(unallocated.Array().IsAllocated());

  for (VarType t : {VarType::I2, VarType::I4, VarType::R4, VarType::R8, VarType::Cy, VarType::Date,
                    VarType::BStr, VarType::Bool, VarType::Decimal, VarType::UI1, VarType::Dispatch,
                    kByteArrayType}) {
    ExpectRaises(94, t, {null});
  }
  EXPECT_TRUE(ChangeType(null, VarType::Variant).IsNull());
  ExpectRaises(13, VarType::Null, {1});
}

TEST(ChangeTypeTest, StringsToNumbersAndBack) {
  ExpectChanges({C{"  42\t", 42}, C{"+7", 7}, C{"-1e3", -1000}, C{".5", std::int16_t{0}},
                 C{"0.0000000000000000000000000000000000000001", 0}, C{"5.", 5.0},
                 C{"1e-400", 0.0}});
  for (const char* bad : {"", " ", "abc", "1,000", "12abc", "1e", "--1", ".", "0x10", "1 2"}) {
    ExpectRaises(13, VarType::I4, {bad});
    ExpectRaises(13, VarType::R8, {bad});
  }
  ExpectRaises(6, VarType::I2, {"40000"});
  ExpectRaises(6, VarType::R8, {"1e400"});
  ExpectRaises(6, VarType::I4, {"1e400"});

  // Doubles to 15 significant digits.
  ExpectChanges({C{-32768, "-32768"}, C{0.1, "0.1"}, C{0.1 + 0.2, "0.3"},
                 C{1.0 / 3, "0.333333333333333"}, C{1e20, "1E+20"}, C{1e-5, "1E-05"},
                 C{0.1f, "0.1"}, C{kNaN, "NaN"}, C{-kInfinity, "-Infinity"},
                 C{std::uint8_t{255}, "255"}, C{"-Infinity", -kInfinity}});
  EXPECT_TRUE(std::isnan(ToR8(Variant("NaN"))));
}

TEST(ChangeTypeTest, CurrencyAndDecimalScalingRoundingSignAndRange) {
  // Rounded half to even at the fourth place.
  ExpectChanges({C{1.5, Currency{15000}}, C{"0.00005", Currency{0}}, C{"0.00015", Currency{2}},
                 C{"0.00025", Currency{2}}, C{"-0.00035", Currency{-4}},
                 C{"922337203685477.5807", Currency{INT64_MAX}},
                 C{"-922337203685477.5808", Currency{INT64_MIN}},
                 C{INT32_MAX, Currency{std::int64_t{INT32_MAX} * 10000}},
                 C{Dec(123456789, 6), Currency{1234568}}});
  ExpectRaises(6, VarType::Cy, {"922337203685477.5808", 1e15, kNaN});

  ExpectChanges({C{Currency{15000}, "1.5"}, C{Currency{-1}, "-0.0001"},
                 C{Currency{INT64_MIN}, "-922337203685477.5808"},
                 C{Currency{-15000}, Dec(15000, 4, true)}});

  // Too many places are rounded half to even to 28.
  ExpectChanges({C{"123.4500", Dec(1234500, 4)}, C{"-0.5", Dec(5, 1, true)}, C{"-0", Dec(0, 0)},
                 C{"1.5e2", Dec(150, 0)}, C{"15e-3", Dec(15, 3)}, C{-42, Dec(42, 0, true)},
                 C{0.1, Dec(1, 1)}, C{0.1f, Dec(1, 1)},
                 C{"0.00000000000000000000000000015", Dec(2, 28)},
                 C{"0.00000000000000000000000000025", Dec(2, 28)}});
  // The largest magnitude, 2^96 - 1, and one more.
  const Decimal max{0xFFFFFFFFu, ~std::uint64_t{0}, 0, false};
  ExpectChanges({C{"79228162514264337593543950335", max}, C{max, "79228162514264337593543950335"}});
  ExpectRaises(6, VarType::Decimal, {kInfinity, 1e29, "79228162514264337593543950336"});
  // Too many digits for 96 bits: the last places go.
  const Decimal long_one = ToDecimal(Variant("1.2345678901234567890123456789"));
  EXPECT_EQ(long_one.scale, 28);
  EXPECT_EQ(ToBStr(Variant(long_one)), "1.2345678901234567890123456789");
  EXPECT_EQ(ToDecimal(Variant("12.345678901234567890123456789")).scale, 27);

  ExpectChanges({C{Dec(1234500, 4, true), "-123.45"}, C{Dec(5, 3), "0.005"},
                 C{Dec(0, 3, true), "0"}, C{Dec(25, 1), 2}, C{Dec(35, 1, true), -4},
                 C{Dec(15, 1, true), -1.5}});
  ExpectRaises(6, VarType::I4, {ToDecimal(Variant("2147483647.5"))});
  ExpectRaises(5, VarType::R8, {Dec(1, 29)});  // no such scale
}

TEST(ChangeTypeTest, DatesArraysAndOtherMismatches) {
  // Before day 0 the time of day still counts forward.
  ExpectChanges({C{"1899-12-30", Date{0.0}}, C{"1900-01-01", Date{2.0}},
                 C{"2000-02-29 12:00", Date{36585.5}}, C{"2000-02-29T18:00:00", Date{36585.75}},
                 C{"06:00:00", Date{0.25}}, C{"1899-12-29 06:00:00", Date{-1.25}},
                 C{45000, Date{45000.0}}});
  ExpectRaises(13, VarType::Date,
               {"2023-02-29", "2024-13-01", "2024-01-01 24:00", "yesterday", "45000"});
  ExpectChanges({C{Date{36585.5}, "2000-02-29 12:00:00"}, C{Date{2.0}, "1900-01-01"},
                 C{Date{-1.25}, "1899-12-29 06:00:00"}, C{Date{0.5}, "12:00:00"},
                 C{Date{-657434.0}, "0100-01-01"}, C{Date{2958465.0}, "9999-12-31"}});
  EXPECT_EQ(ToDate(Variant(ToBStr(Variant(Date{45123.75})))).days, 45123.75);
  ExpectRaises(6, VarType::Date, {1e10, kNaN});
  ExpectRaises(5, VarType::BStr, {Date{1e10}});

  // Arrays and other mismatches.
  const Variant ints(SafeArray(VarType::I4, {{0, 1}}));
  ExpectChanges({C{ints, ints}, C{ErrorCode{5}, ErrorCode{5}}, C{3.0, std::int16_t{3}}});
  EXPECT_EQ(ChangeType(ints, VarType::Variant), ints);
  EXPECT_EQ(ChangeType(Variant(3.0), VarType::Variant), Variant(3.0));
  for (VarType t : {VarType::Array | VarType::I2, VarType::I4, VarType::BStr, VarType::Empty}) {
    ExpectRaises(13, t, {ints});
  }
  ExpectRaises(13, kByteArrayType, {1});
  ExpectRaises(13, VarType::Dispatch, {"x"});
  ExpectRaises(13, VarType::I4, {ErrorCode{5}});
  ExpectRaises(13, static_cast<VarType>(99), {1});
}

// A class with a default member.
struct Cell {
  std::int32_t value = 0;
  ObjectRef next;
};

TEST(ObjectConversionTest, ObjectsConvertThroughTheirDefaultMember) {
  const auto cell_info =
      ClassBuilder<Cell>("Cell").Property("Value", &Cell::value).Default().BuildInfo();
  const auto chained_info =
      ClassBuilder<Cell>("Chained").Property("Next", &Cell::next).Default().BuildInfo();
  const auto make_cell = [&](std::int32_t value) {
    ObjectRef o = MakeObject<Cell>(cell_info);
    o.As<Cell>()->value = value;
    return o;
  };
  const Variant cell(make_cell(41));
  const Variant nothing{ObjectRef()};
  ExpectChanges({C{cell, 41}, C{cell, "41"}, C{cell, 41.0}, C{cell, cell}, C{nothing, nothing}});
  EXPECT_EQ(ValueOf(cell), Variant(41));
  EXPECT_EQ(ChangeType(cell, VarType::Variant), cell);

  // A default member that yields an object is followed.
  ObjectRef chained = MakeObject<Cell>(chained_info);
  chained.As<Cell>()->next = make_cell(7);
  EXPECT_EQ(ValueOf(Variant(chained)), Variant(7));
  EXPECT_EQ(ToI2(Variant(chained)), 7);

  // An object whose default member leads back to itself does not loop forever.
  ObjectRef loop = MakeObject<Cell>(chained_info);
  loop.As<Cell>()->next = loop;
  EXPECT_NE(ErrorFrom([&] { ValueOf(Variant(loop)); }).Number(), 0);
  loop.As<Cell>()->next.Reset();
}

TEST(DisplayTest, TypeNamesDisplayTextAndErrorTexts) {
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

  // An AutomationError carries its number and description, and a readable what().
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
}

}  // namespace
}  // namespace replikon
