#include "automation/chunked_bytes.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "automation/bag_codec.hpp"
#include "replikon/automation/property_bag.hpp"

namespace replikon {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Appends, overwrites and truncations, mirrored on a plain vector, over
// enough bytes to fill many chunks, including appends larger than a chunk;
// with no estimate, and with estimates that end in the middle of the data.
class ChunkedBytesEstimate : public testing::TestWithParam<std::size_t> {};

TEST_P(ChunkedBytesEstimate, MatchesAPlainBufferAcrossChunks) {
  ChunkedBytes buffer(GetParam());
  Bytes expected;
  std::mt19937 random(7);
  std::vector<std::size_t> borders;  // offsets where a new chunk began
  const std::uint8_t* last_end = nullptr;
  auto append = [&](std::size_t n) {
    std::uint8_t* p = buffer.Append(n);
    if (p != last_end && expected.size() >= 3) borders.push_back(expected.size());
    last_end = p + n;
    for (std::size_t i = 0; i < n; ++i) {
      p[i] = static_cast<std::uint8_t>(random());
      expected.push_back(p[i]);
    }
  };
  for (int round = 0; round < 3000; ++round) {
    append(random() % 700);
    if (round % 97 == 0) append(300000);
    if (round % 13 == 0 && !borders.empty()) {
      // A patch across the border of two chunks.
      const std::size_t at = borders[random() % borders.size()] - 3;
      const std::uint8_t patch[8] = {1, 2, 3, 4, 5, 6, 7, 8};
      buffer.Overwrite(at, patch, sizeof patch);
      std::memcpy(expected.data() + at, patch, sizeof patch);
    }
    if (round % 41 == 0) {
      const std::size_t keep = expected.size() - random() % (expected.size() / 3 + 1);
      buffer.Truncate(keep);
      expected.resize(keep);
      std::erase_if(borders, [keep](std::size_t b) { return b + 5 >= keep; });
      last_end = nullptr;
    }
    ASSERT_EQ(buffer.Size(), expected.size());
  }
  EXPECT_EQ(buffer.Take(), expected);
  EXPECT_EQ(buffer.Size(), 0u);
  EXPECT_TRUE(buffer.Take().empty());
  append(10);  // usable again
  EXPECT_EQ(buffer.Take(), Bytes(expected.end() - 10, expected.end()));
}

INSTANTIATE_TEST_SUITE_P(Estimates, ChunkedBytesEstimate,
                         testing::Values(0, 100000, std::size_t{3} << 20));

// What fits in the estimate is handed over where it was written; a Stream far
// smaller than its estimate does not keep the unused room.
TEST(ChunkedBytes, HandsOverTheFirstChunkWhenEverythingFitsAndTakesTheBagWritersBytes) {
  const std::size_t estimate = std::size_t{16} << 20;
  ChunkedBytes fits(estimate);
  std::uint8_t* first = nullptr;
  for (int i = 0; i < 1000; ++i) {
    std::uint8_t* p = fits.Append(15000);
    std::memset(p, i & 0xFF, 15000);
    if (i == 0) first = p;
  }
  const Bytes taken = fits.Take();
  ASSERT_EQ(taken.size(), 15000000u);
  EXPECT_EQ(taken.data(), first);
  EXPECT_EQ(taken[14999999], 999 & 0xFF);

  ChunkedBytes small(estimate);
  std::memset(small.Append(100), 7, 100);
  const Bytes few = small.Take();
  EXPECT_EQ(few, Bytes(100, 7));
  EXPECT_LT(few.capacity(), std::size_t{1} << 20);

  // Nested bags, some abandoned, written into both kinds of buffer, large
  // enough that entries and the counts patched later lie in different chunks;
  // a key is made of a word and a number.
  const auto key_of = [](std::string word, int n) { return word.append(std::to_string(n)); };
  auto write = [&key_of](auto& out) {
    BagWriter top(out);
    for (int i = 0; i < 400; ++i) {
      const std::string key = key_of("Child", i);
      const BagWriter::Pending entry = top.BeginBytes(key);
      BagWriter child(out);
      for (int j = 0; j < 50; ++j) child.Write(key_of("K", j), Variant(std::string(j, 'x')));
      child.Finish();
      if (i % 7 == 3) {
        top.AbandonBytes(entry);
      } else {
        top.EndBytes(entry);
      }
      top.WriteBytes(key_of("Raw", i), std::vector<std::uint8_t>(i * 37 % 5000, 0xAB));
    }
    top.Finish();
  };
  Bytes plain;
  write(plain);
  ChunkedBytes chunked;
  write(chunked);
  const Bytes written = chunked.Take();
  EXPECT_EQ(written, plain);
  EXPECT_NO_THROW(PropertyBag().SetContents(written));
}

}  // namespace
}  // namespace replikon
