// The engines' address tables: every sequence of inserts and erases leaves
// each key findable with its value, whatever the order and the collisions.
#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <random>
#include <unordered_map>
#include <vector>

#include "automation/pointer_map.hpp"

namespace {

using replikon::detail::PointerMap;

// Compares the map with a reference for every key of the pool.
template <class Keys>
void ExpectSame(const PointerMap<std::size_t>& map,
                const std::unordered_map<const void*, std::size_t>& reference, const Keys& keys) {
  ASSERT_EQ(map.Size(), reference.size());
  for (const auto& key : keys) {
    const auto it = reference.find(&key);
    const std::size_t* found = map.Find(&key);
    if (it == reference.end()) {
      ASSERT_EQ(found, nullptr);
    } else {
      ASSERT_NE(found, nullptr);
      ASSERT_EQ(*found, it->second);
    }
  }
}

TEST(PointerMap, RandomInsertsAndErasesMatchAReferenceASetGrowsClearsAndIgnoresAbsentKeys) {
  // Keys close together in memory, as objects are: their homes collide and
  // runs wrap around the end of the table.
  static std::array<std::uint64_t, 300> pool{};
  std::mt19937 random(20261207);
  PointerMap<std::size_t> map;
  std::unordered_map<const void*, std::size_t> reference;
  for (int step = 0; step < 20000; ++step) {
    const auto& key = pool[random() % pool.size()];
    if (reference.count(&key) != 0) {
      map.Erase(&key);
      reference.erase(&key);
    } else {
      const std::size_t value = random();
      map.Insert(&key, value);
      reference.emplace(&key, value);
    }
    if (step % 97 == 0 || step < 400) ExpectSame(map, reference, pool);
  }
  ExpectSame(map, reference, pool);

  // A set grows, clears, and ignores keys it does not hold.
  std::vector<int> objects(5000);
  PointerMap<void> set;
  EXPECT_FALSE(set.Contains(objects.data()));
  set.Erase(objects.data());  // absent: nothing happens
  for (const int& object : objects) set.Insert(&object);
  EXPECT_EQ(set.Size(), objects.size());
  for (const int& object : objects) ASSERT_TRUE(set.Contains(&object));
  int outside = 0;
  EXPECT_FALSE(set.Contains(&outside));
  set.Clear();
  EXPECT_TRUE(set.Empty());
  for (const int& object : objects) ASSERT_FALSE(set.Contains(&object));
  set.Insert(&outside);
  EXPECT_TRUE(set.Contains(&outside));
}

}  // namespace
