// The exact bytes of known Streams. Streams are kept in files and read back by
// later versions, so a change in what the writer produces for the same graph
// is a format change, never a side effect of other work. Each case pins the
// size and an FNV-1a digest of the bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "orders/orders_server.hpp"
#include "replikon/control/replikon.hpp"
#include "replikon/stream/array_encoding.hpp"

namespace {

using replikon::ArrayBound;
using replikon::SafeArray;
using replikon::Variant;
using replikon::VarType;

std::uint64_t Fnv1a(std::span<const std::uint8_t> bytes) {
  std::uint64_t h = 0xcbf29ce484222325ULL;
  for (const std::uint8_t b : bytes) {
    h ^= b;
    h *= 0x100000001b3ULL;
  }
  return h;
}

struct Pinned {
  std::size_t size;
  std::uint64_t digest;
};

void ExpectPinned(std::span<const std::uint8_t> bytes, Pinned expected) {
  EXPECT_EQ(bytes.size(), expected.size);
  EXPECT_EQ(Fnv1a(bytes), expected.digest)
      << "size " << bytes.size() << ", digest 0x" << std::hex << Fnv1a(bytes);
}

class StreamBytes : public ::testing::Test {
 protected:
  void SetUp() override {
    orders::RegisterOrdersServer();
    control_.SetObjectServerName(orders::kServerName);
  }
  replikon::Replikon control_{nullptr, replikon::ClassRegistry::Global()};
};

TEST_F(StreamBytes, ObjectStreams) {
  // Every kind of member, an external subobject and cycles back to the root
  // (both left out, silently).
  control_.SetProblemsNotification(replikon::ProblemsNotificationConstants::SourceObjectOnly);
  const SafeArray invoice =
      control_.StreamFromObject(orders::MakeSampleInvoice(replikon::ClassRegistry::Global(), true));
  ExpectPinned(invoice.ByteSpan(), {1618, 0x52519cb29e9a3c55ULL});
  const SafeArray tree = control_.StreamFromObject(orders::MakeNodeTree(4));
  ExpectPinned(tree.ByteSpan(), {6092, 0x34b959ac54717bd7ULL});
}

// The writer reserves room after the size of the thread's last Stream: the
// bytes are the same whether a Stream outgrows that room, fits it, or is far
// smaller than it, and whether the room is small or large.
TEST_F(StreamBytes, AnySizeOfTheLastStream) {
  const replikon::ObjectRef small = orders::MakeNodeTree(4);
  const replikon::ObjectRef large = orders::MakeNodeTree(15);
  ExpectPinned(control_.StreamFromObject(small).ByteSpan(), {6092, 0x34b959ac54717bd7ULL});
  ExpectPinned(control_.StreamFromObject(small).ByteSpan(), {6092, 0x34b959ac54717bd7ULL});
  const SafeArray first = control_.StreamFromObject(large);
  const SafeArray again = control_.StreamFromObject(large);
  EXPECT_GT(first.Count(), std::size_t{8} << 20);
  EXPECT_TRUE(std::ranges::equal(first.ByteSpan(), again.ByteSpan()));
  ExpectPinned(control_.StreamFromObject(small).ByteSpan(), {6092, 0x34b959ac54717bd7ULL});
}

TEST_F(StreamBytes, ArrayStreams) {
  // Two dimensions with negative bounds, Variant elements of every kind that
  // the bag holds, a nested array and an object (no entry).
  SafeArray variants(VarType::Variant, {{-1, 1}, {2, 3}});
  variants.Set({-1, 2}, Variant(std::int16_t{-7}));
  variants.Set({-1, 3}, Variant("text"));
  variants.Set({0, 2}, Variant(replikon::Currency{123456}));
  variants.Set({0, 3}, Variant(replikon::Decimal{1, 2, 3, true}));
  variants.Set({1, 2}, Variant(SafeArray(VarType::R8, {{0, 2}})));
  variants.SetRef({1, 3}, orders::MakeNodeTree(1));
  ExpectPinned(replikon::StreamFromArray(Variant(variants)), {321, 0x6413f97ce79b08beULL});

  SafeArray strings(VarType::BStr, {{5, 7}});
  strings.Set({6}, Variant("middle"));
  ExpectPinned(replikon::StreamFromArray(Variant(strings)), {120, 0xd9bc68692bf4cd76ULL});
  ExpectPinned(replikon::StreamFromArray(Variant(SafeArray(VarType::Bool))),
               {26, 0x191b98ceab2142fbULL});
  ExpectPinned(
      replikon::StreamFromArray(Variant(SafeArray::FromBytes(std::vector<std::uint8_t>{1, 2, 3}))),
      {105, 0xa43dc11268583205ULL});
}

}  // namespace
