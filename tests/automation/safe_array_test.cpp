#include "replikon/automation/safe_array.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

#include "replikon/automation/class_builder.hpp"
#include "replikon/automation/error.hpp"
#include "test_support.hpp"

namespace replikon {
namespace {

using test_support::ErrorFrom;

std::vector<std::vector<std::int32_t>> Walk(std::span<const ArrayBound> bounds) {
  std::vector<std::vector<std::int32_t>> out;
  for (IndexWalker w(bounds); !w.Done(); w.Next()) {
    out.emplace_back(w.Index().begin(), w.Index().end());
  }
  return out;
}

TEST(SafeArrayTest, ConstructionChecksAndUnallocatedAndAllocatedEmptyDiffer) {
  const SafeArray unallocated(VarType::I4);
  EXPECT_FALSE(unallocated.IsAllocated());
  EXPECT_EQ(unallocated.Dims(), 0u);
  EXPECT_EQ(unallocated.Count(), 0u);
  EXPECT_EQ(unallocated.Type(), VarType::Array | VarType::I4);

  const SafeArray empty(VarType::I4, {{5, 4}});
  EXPECT_TRUE(empty.IsAllocated());
  EXPECT_EQ(empty.Dims(), 1u);
  EXPECT_EQ(empty.Count(), 0u);
  EXPECT_NE(unallocated, empty);
  EXPECT_EQ(ErrorFrom([&] { empty.Get({5}); }).Number(), 9);

  // A dimension of no elements empties the whole array.
  const SafeArray flat(VarType::BStr, {{0, 9}, {0, -1}});
  EXPECT_EQ(flat.Count(), 0u);
  EXPECT_EQ(ErrorFrom([&] { flat.Get({0, 0}); }).Number(), 9);

  EXPECT_EQ(ErrorFrom([] { SafeArray(VarType::I4, {{0, -2}}); }).Number(), 9);
  EXPECT_EQ(ErrorFrom([] { SafeArray(VarType::Empty, {{0, 1}}); }).Number(), 5);
  EXPECT_EQ(ErrorFrom([] { (void)SafeArray(VarType::Null); }).Number(), 5);
  EXPECT_EQ(ErrorFrom([] { SafeArray(VarType::Array | VarType::I4, {{0, 1}}); }).Number(), 5);
  // Too many elements, even when the product would overflow 64 bits.
  const std::int32_t lo = std::numeric_limits<std::int32_t>::min();
  const std::int32_t hi = std::numeric_limits<std::int32_t>::max();
  const ArrayBound widest{lo, hi};
  EXPECT_EQ(ErrorFrom([&] { SafeArray(VarType::UI1, {widest}); }).Number(), 7);
  EXPECT_EQ(ErrorFrom([&] { SafeArray(VarType::UI1, {widest, widest, widest}); }).Number(), 7);
  EXPECT_EQ(ErrorFrom([] { SafeArray(VarType::Variant, {{0, 65535}, {0, 65535}}); }).Number(), 7);
  // Extreme but small bounds are fine.
  SafeArray edge(VarType::I2, {{hi - 1, hi}, {lo, lo + 1}});
  edge.Set({hi, lo + 1}, Variant(std::int16_t{9}));
  EXPECT_EQ(edge.GetFlat(3), Variant(std::int16_t{9}));
}

TEST(SafeArrayTest, RowMajorLayoutWithNegativeBoundsAndTheIndexWalkersEdges) {
  const ArrayBound bounds[] = {{-1, 0}, {2, 4}};
  SafeArray a(VarType::I4, bounds);
  ASSERT_EQ(a.Count(), 6u);
  for (std::size_t i = 0; i < a.Count(); ++i) a.SetFlat(i, Variant(static_cast<std::int32_t>(i)));
  // Dimension 1 varies slowest.
  EXPECT_EQ(a.Get({-1, 2}), Variant(0));
  EXPECT_EQ(a.Get({-1, 4}), Variant(2));
  EXPECT_EQ(a.Get({0, 2}), Variant(3));
  EXPECT_EQ(a.Get({0, 4}), Variant(5));

  // The index walker goes in the same order, and stops at its edges.
  EXPECT_TRUE(Walk({}).empty());
  const ArrayBound with_empty[] = {{0, 3}, {1, 0}, {0, 3}};
  EXPECT_TRUE(Walk(with_empty).empty());
  const ArrayBound three[] = {{0, 1}, {0, 1}, {-1, -1}};
  const auto order = Walk(three);
  ASSERT_EQ(order.size(), 4u);
  EXPECT_EQ(order[1], (std::vector<std::int32_t>{0, 1, -1}));
  EXPECT_EQ(order[2], (std::vector<std::int32_t>{1, 0, -1}));
  const std::int32_t hi = std::numeric_limits<std::int32_t>::max();
  const ArrayBound top[] = {{hi - 1, hi}};
  EXPECT_EQ(Walk(top).size(), 2u);  // stops at the top without wrapping
  IndexWalker w(top);
  w.Next();
  w.Next();
  w.Next();  // past the end stays done
  EXPECT_TRUE(w.Done());
}

TEST(SafeArrayTest, OutOfRangeIndicesAndSetConvertsToTheElementType) {
  SafeArray a(VarType::R8, {{-2, 2}, {0, 1}});
  // Each bound, and too few or too many indices.
  for (const std::vector<std::int32_t>& index :
       std::vector<std::vector<std::int32_t>>{{-3, 0}, {3, 0}, {0, 2}, {0}, {0, 0, 0}}) {
    EXPECT_EQ(ErrorFrom([&] { a.Get(index); }).Number(), 9) << ::testing::PrintToString(index);
  }
  EXPECT_EQ(ErrorFrom([&] { a.Set({0, -1}, Variant(1.0)); }).Number(), 9);
  EXPECT_EQ(ErrorFrom([&] { a.GetFlat(a.Count()); }).Number(), 9);
  EXPECT_EQ(ErrorFrom([&] { a.SetFlat(a.Count(), Variant(1.0)); }).Number(), 9);
  EXPECT_EQ(ErrorFrom([] { SafeArray(VarType::I4).Get({}); }).Number(), 9);

  // Set converts to the element type; a failed set leaves the element alone.
  SafeArray ints(VarType::I2, {{0, 2}});
  ints.Set({0}, Variant("12"));
  ints.Set({1}, Variant(2.5));
  EXPECT_EQ(ints.Get({0}), Variant(std::int16_t{12}));
  EXPECT_EQ(ints.Get({1}), Variant(std::int16_t{2}));
  ints.Set({2}, Variant(std::int16_t{3}));
  EXPECT_EQ(ErrorFrom([&] { ints.Set({2}, Variant(40000)); }).Number(), 6);
  EXPECT_EQ(ints.Get({2}), Variant(std::int16_t{3}));  // untouched by the failed set
  EXPECT_EQ(ErrorFrom([&] { ints.Set({2}, Variant("x")); }).Number(), 13);
  EXPECT_EQ(ErrorFrom([&] { ints.Set({2}, Variant(kNull)); }).Number(), 94);
  ints.Set({2}, Variant());
  EXPECT_EQ(ints.Get({2}), Variant(std::int16_t{0}));

  SafeArray variants(VarType::Variant, {{0, 2}});
  variants.Set({0}, Variant(std::int16_t{4}));
  variants.Set({1}, Variant(kNull));
  variants.Set({2}, Variant(SafeArray(VarType::R8, {{0, 1}})));
  EXPECT_EQ(variants.Get({0}), Variant(std::int16_t{4}));  // keeps its own type
  EXPECT_TRUE(variants.Get({1}).IsNull());
  EXPECT_EQ(variants.Get({2}).Type(), VarType::Array | VarType::R8);
}

struct Holder {
  std::int32_t value = 0;
};

TEST(SafeArrayTest, ObjectsByValueAndByReferenceAndCopyOnWriteThroughVariants) {
  const auto with_default =
      ClassBuilder<Holder>("Holder").Property("Value", &Holder::value).Default().BuildInfo();
  const auto without_default =
      ClassBuilder<Holder>("Bare").Property("Value", &Holder::value).BuildInfo();
  ObjectRef holder = MakeObject<Holder>(with_default);
  holder.As<Holder>()->value = 17;
  const ObjectRef bare = MakeObject<Holder>(without_default);

  // Value assignment stores the default value, also in a Variant array.
  SafeArray variants(VarType::Variant, {{0, 1}});
  variants.Set({0}, Variant(holder));
  EXPECT_EQ(variants.Get({0}), Variant(17));
  EXPECT_EQ(ErrorFrom([&] { variants.Set({1}, Variant(bare)); }).Number(), 438);
  EXPECT_TRUE(variants.Get({1}).IsEmpty());
  EXPECT_EQ(ErrorFrom([&] { variants.Set({1}, Variant(ObjectRef())); }).Number(), 91);

  SafeArray longs(VarType::I4, {{0, 0}});
  longs.Set({0}, Variant(holder));
  EXPECT_EQ(longs.Get({0}), Variant(17));

  // Reference assignment keeps the object.
  variants.SetRef({1}, holder);
  EXPECT_EQ(variants.Get({1}), Variant(holder));
  SafeArray objects(VarType::Dispatch, {{0, 1}});
  objects.SetRef({0}, holder);
  EXPECT_EQ(objects.Get({0}).Object(), holder);
  EXPECT_TRUE(objects.Get({1}).Object().IsNull());
  EXPECT_EQ(ErrorFrom([&] { longs.SetRef({0}, holder); }).Number(), 13);
  EXPECT_EQ(ErrorFrom([&] { objects.SetRef({2}, holder); }).Number(), 9);

  // Copy on write through Variants.
  SafeArray a(VarType::I4, {{0, 1}});
  a.Set({0}, Variant(1));
  Variant first(std::move(a));
  const SafeArray* original = &first.Array();
  Variant second = first;  // shares
  EXPECT_EQ(&second.Array(), original);

  second.MutableArray().Set({0}, Variant(2));
  EXPECT_NE(&second.Array(), original);
  EXPECT_EQ(first.Array().Get({0}), Variant(1));
  EXPECT_EQ(second.Array().Get({0}), Variant(2));

  // Not shared any more: changed in place.
  first.MutableArray().Set({1}, Variant(3));
  EXPECT_EQ(&first.Array(), original);
  EXPECT_EQ(second.Array().Get({1}), Variant(0));

  // An array nested in a Variant array is not changed through the outer copy.
  SafeArray outer(VarType::Variant, {{0, 0}});
  outer.Set({0}, first);
  first.MutableArray().Set({0}, Variant(99));
  EXPECT_EQ(outer.Get({0}).Array().Get({0}), Variant(1));
}

TEST(SafeArrayTest, NewArraysStartAtTheTypesInitialValueAndStayIndependent) {
  for (const Variant& initial : {Variant(0), Variant(""), Variant(false), Variant(ObjectRef()),
                                 Variant(Decimal{}), Variant(Date{})}) {
    EXPECT_EQ(SafeArray(initial.Type(), {{0, 0}}).Get({0}), initial);
  }
  EXPECT_EQ(SafeArray(VarType::Variant, {{0, 0}}).Get({0}), Variant());

  // Arrays made alike hold the same initial values; changing one, by any
  // route, changes none of the others, made before or after it.
  SafeArray a(VarType::I4, {{0, 7}});
  SafeArray b(VarType::I4, {{0, 7}});
  a.Set({0}, Variant(5));
  b.MutableFlatElements<std::int32_t>()[1] = 6;
  SafeArray c(VarType::I4, {{0, 7}});
  EXPECT_EQ(a.Get({0}), Variant(5));
  EXPECT_EQ(a.Get({1}), Variant(0));
  EXPECT_EQ(b.Get({0}), Variant(0));
  EXPECT_EQ(b.Get({1}), Variant(6));
  EXPECT_EQ(c, SafeArray(VarType::I4, {{0, 7}}));
  EXPECT_EQ(c.Get({0}), Variant(0));
  SafeArray names(VarType::BStr, {{0, 7}});
  names.SetFlat(7, Variant("x"));
  EXPECT_EQ(SafeArray(VarType::BStr, {{0, 7}}).GetFlat(7), Variant(""));

  // Bounds of any number of dimensions are kept as given.
  const std::vector<ArrayBound> bounds = {{0, 1}, {-1, 0}, {2, 3}, {0, 0}};
  SafeArray four(VarType::I2, bounds);
  ASSERT_EQ(four.Dims(), 4U);
  EXPECT_TRUE(std::equal(bounds.begin(), bounds.end(), four.Bounds().begin()));
  four.Set({1, 0, 3, 0}, Variant(std::int16_t{9}));
  SafeArray copy = four;
  copy.Set({1, 0, 3, 0}, Variant(std::int16_t{1}));
  EXPECT_EQ(four.GetFlat(7), Variant(std::int16_t{9}));
  EXPECT_EQ(copy.Bounds()[3], (ArrayBound{0, 0}));
}

TEST(SafeArrayTest, ByteArraysAndEquality) {
  const std::vector<std::uint8_t> bytes = {0, 1, 254, 255};
  const SafeArray a = SafeArray::FromBytes(bytes);
  EXPECT_EQ(a.Type(), kByteArrayType);
  EXPECT_EQ(a.Bounds()[0], (ArrayBound{0, 3}));
  EXPECT_EQ(a.ToBytes(), bytes);
  EXPECT_EQ(a.Get({2}), Variant(std::uint8_t{254}));
  EXPECT_EQ(a.ByteSpan().size(), 4u);

  // Bounds past the largest index; the rest of FromBytes's bounds and the
  // unallocated byte array go through the property bag's round trip.
  const std::int32_t hi = std::numeric_limits<std::int32_t>::max();
  EXPECT_EQ(ErrorFrom([&] { SafeArray::FromBytes(bytes, hi - 2); }).Number(), 9);

  EXPECT_EQ(ErrorFrom([] { SafeArray(VarType::I4, {{0, 1}}).ByteSpan(); }).Number(), 13);
  EXPECT_EQ(ErrorFrom([] { SafeArray(VarType::Variant, {{0, 1}}).ToBytes(); }).Number(), 13);

  SafeArray b(VarType::UI1, {{0, 1}});
  EXPECT_EQ(ErrorFrom([&] { b.Set({0}, Variant(256)); }).Number(), 6);
  b.Set({1}, Variant(true));
  EXPECT_EQ(b.ToBytes(), (std::vector<std::uint8_t>{0, 255}));

  // Equality compares type, bounds and elements, bit for bit.
  SafeArray x(VarType::R8, {{0, 1}});
  SafeArray y(VarType::R8, {{0, 1}});
  EXPECT_EQ(x, y);
  x.Set({0}, Variant(-0.0));
  EXPECT_NE(x, y);  // -0.0 differs from 0.0
  const double nan = std::numeric_limits<double>::quiet_NaN();
  x.Set({0}, Variant(nan));
  y.Set({0}, Variant(nan));
  EXPECT_EQ(x, y);
  EXPECT_NE(SafeArray(VarType::R8, {{0, 1}}), SafeArray(VarType::R4, {{0, 1}}));
  EXPECT_NE(SafeArray(VarType::R8, {{0, 1}}), SafeArray(VarType::R8, {{1, 2}}));
  EXPECT_EQ(SafeArray(VarType::Bool), SafeArray(VarType::Bool));
}

}  // namespace
}  // namespace replikon
