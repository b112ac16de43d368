// The writer's shortcuts give the bytes of the general path.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "replikon/automation/property_bag.hpp"
#include "replikon/automation/safe_array.hpp"
#include "replikon/stream/array_encoding.hpp"

namespace replikon {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes ElementBagOf(const Bytes& stream) {
  PropertyBag bag;
  bag.SetContents(stream);
  return bag.ReadProperty("@AE#").Array().ToBytes();
}

// Arrays of fixed-size scalars are written in one piece, with their keys
// counted rather than converted; the element bag must be the one a Variant
// array of the same values gets entry by entry. The shapes cross the points
// where keys grow a digit, and take in negative and multi-dimensional bounds
// and the last index there is.
TEST(StreamWriter, ScalarElementsAsTheGeneralPathWritesThem) {
  const std::vector<std::vector<ArrayBound>> shapes = {{{0, 120}},
                                                       {{7, 1012}},
                                                       {{-12, 3}},
                                                       {{-1003, 12}},
                                                       {{5, 4}},
                                                       {{-1, 1}, {8, 11}},
                                                       {{0, 1}, {-2, 0}, {9, 10}},
                                                       {{2147483638, 2147483647}}};
  for (const auto& bounds : shapes) {
    for (const VarType type : {VarType::R8, VarType::I4, VarType::I2}) {
      SCOPED_TRACE(::testing::Message() << TypeName(type) << ", lower bound " << bounds[0].lower
                                        << ", " << bounds.size() << " dimensions");
      SafeArray typed(type, bounds);
      SafeArray general(VarType::Variant, bounds);
      for (std::size_t i = 0; i < typed.Count(); ++i) {
        typed.SetFlat(i, Variant(static_cast<std::int32_t>(i * 3 + 1)));
        general.SetFlat(i, typed.GetFlat(i));
      }
      const Bytes stream = StreamFromArray(Variant(typed));
      ASSERT_FALSE(stream.empty());
      EXPECT_EQ(ElementBagOf(stream), ElementBagOf(StreamFromArray(Variant(general))));
      // The reader's one-pass path reads them back.
      if (typed.Count() > 0) {
        EXPECT_EQ(ArrayFromStream(stream), Variant(typed));
      }
      // The chunked buffer the Stream writer uses gets the same bytes.
      ChunkedBytes chunked;
      AppendStreamFromArray(typed, chunked);
      EXPECT_EQ(chunked.Take(), stream);
    }
  }
}

// WriteString, which the writer uses for class names, writes what Write does
// with a string Variant, also for text that lies in the writer's own buffer.
TEST(StreamWriter, WriteStringAsWriteOfAStringVariant) {
  const std::string long_text(300, 'q');
  Bytes expected;
  {
    BagWriter bag(expected);
    bag.Write("", Variant(std::string()));
    bag.Write("Long", Variant(long_text));
    bag.Write("Again", Variant(std::string("Long")));
    bag.Finish();
  }
  Bytes written;
  BagWriter bag(written);
  bag.WriteString("", "");
  bag.WriteString("Long", long_text);
  // The key of the entry before, viewed in the buffer, which grows meanwhile.
  written.shrink_to_fit();
  bag.WriteString("Again", std::string_view(reinterpret_cast<const char*>(written.data()) +
                                                written.size() - long_text.size() - 10,
                                            4));
  bag.Finish();
  EXPECT_EQ(written, expected);
}

}  // namespace
}  // namespace replikon
