// Crafted Streams at the bounds stated in docs/resource-bounds.md: what one
// object Stream may make of its arrays, and how deep its objects may nest.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "nested_streams.hpp"
#include "orders/orders_server.hpp"
#include "replikon/control/replikon.hpp"
#include "replikon/server.hpp"
#include "replikon/stream/array_encoding.hpp"
#include "stream/array_codec.hpp"
#include "test_support.hpp"

namespace replikon {
namespace {

using Bytes = std::vector<std::uint8_t>;

// An array stream of Variants 0..count-1 whose element bag is empty: every
// element is drawn from the allowance. Its size does not depend on `count`.
Bytes EmptyVariantArray(std::int32_t count) {
  return test_support::BagOf(
      {{"@SF#", Variant(0x0C010021)},  // version 1, kind 32, 1 dimension of Variant
       {"D1", Variant(0)},
       {"G1", Variant(count - 1)},
       {"@AE#", Variant(SafeArray::FromBytes(test_support::BagOf({})))}});
}

TEST(ResourceBounds, ArraysOfOneObjectStreamShareOneAllowance) {
  ClassRegistry registry;
  orders::RegisterOrdersServer(registry);
  Replikon control(nullptr, registry);
  control.SetObjectServerName(orders::kServerName);
  // Two Variant properties (Memo comes before Lines) claiming `count`
  // elements each, none of which has an entry.
  auto stream_for = [](std::int32_t count) {
    return SafeArray::FromBytes(
        test_support::BagOf({{"@SF#", Variant(17)},
                             {"@OT#", Variant("Invoice")},
                             {"Memo", Variant(SafeArray::FromBytes(EmptyVariantArray(count)))},
                             {"Lines", Variant(SafeArray::FromBytes(EmptyVariantArray(count)))}}));
  };
  const std::size_t size = stream_for(1).Count();
  const DecodeAllowance allowance(size);
  const auto half = static_cast<std::int32_t>((allowance.Left() + allowance.RefusedLeft()) / 2);

  ObjectRef both = control.ObjectFromStream(stream_for(half));
  ASSERT_EQ(stream_for(half).Count(), size);
  EXPECT_EQ(both.As<orders::Invoice>()->memo.Array().Count(), static_cast<std::size_t>(half));
  EXPECT_EQ(both.As<orders::Invoice>()->lines.Array().Count(), static_cast<std::size_t>(half));

  // One more element each: the second array no longer fits, and its property
  // keeps the value the class gave it.
  ObjectRef one = control.ObjectFromStream(stream_for(half + 1));
  EXPECT_TRUE(one.As<orders::Invoice>()->memo.IsArray());
  EXPECT_TRUE(one.As<orders::Invoice>()->lines.IsEmpty());
}

struct Link {
  ObjectRef c;
};

TEST(ResourceBounds, ObjectNestingIsBoundedByTheInputAlone) {
  // The fewest bytes a level can take: class "L", property "C".
  Server server("S");
  server.Class<Link>("L").Property("C", &Link::c);
  ClassRegistry registry;
  registry.Register(server);
  Replikon control(nullptr, registry);
  control.SetObjectServerName("S");
  control.SetRaiseRecursionCheckEvent(false);

  constexpr std::size_t kDepth = 100000;
  Bytes out = test_support::NestedObjectStreams(kDepth, "L", "C");
  // 41 bytes of the innermost level, 57 for each one around it.
  EXPECT_EQ(out.size(), 57 * kDepth - 16);

  ObjectRef head = control.ObjectFromStream(SafeArray::FromBytes(std::move(out)));
  std::size_t depth = 0;
  for (ObjectRef at = head; at; at = at.As<Link>()->c) ++depth;
  EXPECT_EQ(depth, kDepth);
  head.Reset();
  EXPECT_EQ(registry.LiveInstances("S.L"), 0);
}

}  // namespace
}  // namespace replikon
