// Releasing deep object graphs: destruction never nests, so the length of a
// chain does not matter to the stack.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "replikon/server.hpp"

namespace replikon {
namespace {

struct Link {
  std::int32_t value = 0;
  ObjectRef next;
  Variant any;  // an object reached through a Variant, or an array of them
};

class InstanceLifetime : public ::testing::Test {
 protected:
  InstanceLifetime() : server_("Links") {
    auto terminated = terminated_;
    auto order = order_;
    server_.Class<Link>("Link")
        .Property("Value", &Link::value)
        .Property("Next", &Link::next)
        .Property("Any", &Link::any)
        .OnTerminate([terminated, order](Link& l) {
          ++*terminated;
          if (order->size() < 8) order->push_back(l.value);
        });
    registry_.Register(server_);
  }

  ObjectRef NewLink(std::int32_t value) {
    ObjectRef o = registry_.CreateByProgId("Links.Link");
    o.As<Link>()->value = value;
    return o;
  }
  std::int64_t Live() const { return registry_.LiveInstances("Links.Link"); }

  std::shared_ptr<std::int64_t> terminated_ = std::make_shared<std::int64_t>(0);
  std::shared_ptr<std::vector<std::int32_t>> order_ = std::make_shared<std::vector<std::int32_t>>();
  Server server_;
  ClassRegistry registry_;
};

TEST_F(InstanceLifetime, MillionLinkChainIsReleasedAtOnce) {
  constexpr std::int32_t kLength = 1000000;
  ObjectRef head;
  std::weak_ptr<Instance> watch_tail;
  for (std::int32_t i = kLength; i > 0; --i) {
    ObjectRef link = NewLink(i);
    if (i == kLength) watch_tail = link.Shared();
    // Every other link is held through a Variant.
    if (i % 2 == 0) {
      link.As<Link>()->any = Variant(std::move(head));
    } else {
      link.As<Link>()->next = std::move(head);
    }
    head = std::move(link);
  }
  ASSERT_EQ(Live(), kLength);
  head.Reset();
  // Every link is gone when the release returns, in order from the head, and
  // each one ran its termination code.
  EXPECT_EQ(Live(), 0);
  EXPECT_EQ(*terminated_, kLength);
  EXPECT_TRUE(watch_tail.expired());
  EXPECT_EQ(*order_, (std::vector<std::int32_t>{1, 2, 3, 4, 5, 6, 7, 8}));
}

}  // namespace
}  // namespace replikon
