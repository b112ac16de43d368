// Array streams of fixed-size scalars are laid out whole, in one piece, and
// read back in one pass. Both must give exactly what writing and reading the
// entries one by one gives, whatever the type, the bounds and the digits of
// the element keys.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "automation/bag_codec.hpp"
#include "automation/chunked_bytes.hpp"
#include "replikon/automation/property_bag.hpp"
#include "replikon/automation/safe_array.hpp"
#include "replikon/stream/array_encoding.hpp"
#include "replikon/stream/stream_layout.hpp"
#include "stream/array_codec.hpp"

namespace replikon {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The array stream of `array` written entry by entry through a PropertyBag.
Bytes EntryByEntry(const SafeArray& array) {
  const auto bounds = array.Bounds();
  PropertyBag elements;
  std::size_t flat = 0;
  for (IndexWalker walk(bounds); !walk.Done(); walk.Next(), ++flat) {
    elements.WriteProperty(ElementKey(walk.Index()), array.GetFlat(flat));
  }
  PropertyBag bag;
  bag.WriteProperty(
      "@SF#", Variant(PackStreamHeader({std::nullopt, kFormatVersion, kArrayStreamKind, false,
                                        std::nullopt, static_cast<std::int16_t>(bounds.size()),
                                        Code(array.ElementType())})));
  for (std::size_t d = 0; d < bounds.size(); ++d) {
    const std::string digit(1, static_cast<char>('1' + d));
    bag.WriteProperty("D" + digit, Variant(bounds[d].lower));
    bag.WriteProperty("G" + digit, Variant(bounds[d].upper));
  }
  bag.WriteProperty("@AE#", Variant(SafeArray::FromBytes(elements.Contents())));
  return bag.Contents();
}

// An array of the type with the bounds, its elements numbered from 1 on (and
// from 0 again after 199, which every type holds).
SafeArray Numbered(VarType type, std::vector<ArrayBound> bounds) {
  SafeArray array(type, bounds);
  for (std::size_t i = 0; i < array.Count(); ++i) {
    const std::int32_t n = (1 + static_cast<std::int32_t>(i)) % 200;
    array.SetFlat(i, Variant(static_cast<std::int16_t>(n)));
  }
  return array;
}

TEST(ScalarArrayStreamTest, LaidOutAsEntryByEntryAndReadBack) {
  const std::vector<std::vector<ArrayBound>> shapes = {
      {{0, 0}},                    // one element
      {{5, 4}},                    // none
      {{0, 11}},                   // keys from one digit to two
      {{95, 105}},                 // from two digits to three
      {{1, 1000}},                 // up to four
      {{-12, 3}},                  // negative keys
      {{-1003, 12}},               // negative keys of four digits
      {{2147483638, 2147483647}},  // the last index there is
      {{2, 4}, {-1, 1}},           // two dimensions
      {{0, 1}, {0, 1}, {9, 10}},
  };
  const VarType types[] = {VarType::I2, VarType::I4,   VarType::R4, VarType::R8,
                           VarType::Cy, VarType::Date, VarType::UI1};
  for (const VarType type : types) {
    for (const auto& bounds : shapes) {
      SCOPED_TRACE(testing::Message() << "type " << Code(type) << ", " << bounds.size()
                                      << " dimension(s) from " << bounds[0].lower);
      const SafeArray array = Numbered(type, bounds);
      const Bytes expected = EntryByEntry(array);
      const Bytes written = StreamFromArray(Variant(array));
      EXPECT_EQ(written, expected);

      ChunkedBytes chunks;
      chunks.Append(3)[0] = 0;  // after other bytes, as a nested Stream is
      AppendStreamFromArray(array, chunks);
      const Bytes nested = chunks.Take();
      EXPECT_EQ(Bytes(nested.begin() + 3, nested.end()), expected);

      if (array.Count() == 0) continue;
      const Variant back = ArrayFromStream(written, static_cast<std::int32_t>(Code(type)));
      ASSERT_TRUE(back.IsArray());
      EXPECT_TRUE(back.Array() == array);
    }
  }
}

// The writer's entries of such arrays are pinned by StreamBytes.ObjectStreams;
// arrays of other types, and unallocated ones, are left to the caller.
TEST(ScalarArrayStreamTest, WholeEntryOnlyOfAllocatedScalarArrays) {
  SafeArray strings(VarType::BStr, {{0, 1}});
  for (const SafeArray& other : {strings, SafeArray(VarType::I4)}) {
    ChunkedBytes chunks;
    BagWriter bag(chunks);
    EXPECT_FALSE(AppendArrayEntry(bag, "Values", other));
    EXPECT_EQ(bag.EntryCount(), 0u);
    EXPECT_EQ(chunks.Size(), BagReader::kHeaderSize);
  }
}

}  // namespace
}  // namespace replikon
