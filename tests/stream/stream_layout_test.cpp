#include "replikon/stream/stream_layout.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <tuple>
#include <utility>

#include "automation/bag_codec.hpp"
#include "replikon/automation/property_bag.hpp"
#include "replikon/automation/variant.hpp"
#include "replikon/stream/stream_utilities.hpp"
#include "stream/parsed_stream.hpp"
#include "test_support.hpp"

namespace replikon {
namespace {

using test_support::BagOf;
using test_support::Bytes;
using test_support::Entries;

// PackStreamHeader's inputs in order: base, version, kind, empty, reserved,
// dimensions and element type; kNo leaves one out.
constexpr auto kNo = std::nullopt;

// ---- Header word -------------------------------------------------------------

TEST(StreamHeaderTest, GivenInputsOverrideTheBaseAndTheRestIsKept) {
  // Version 1, kind 32, reserved, 1 dimension, type 3.
  constexpr std::int32_t kBase = 50397217 | kReservedFlag;
  EXPECT_EQ(PackStreamHeader({kBase, kNo, kObjectStreamKind, kNo, kNo, kNo, kNo}), kBase - 32 + 16);
  EXPECT_EQ(PackStreamHeader({kBase | kEmptyFlag, 2, kNo, false, false, 5, 8}),
            (8 << 24) | (5 << 16) | 32 | 2);
  // Unused bits of the base do not survive.
  EXPECT_EQ(
      PackStreamHeader({-1, kNo, kNo, kNo, kNo, kNo, kNo}),
      kVersionMask | kKindMask | kReservedFlag | kEmptyFlag | kDimensionsMask | kElementTypeMask);
  // Inputs out of range stay in their fields: version 17 would spill into the
  // kind, -1 dimensions would fill the element type.
  EXPECT_EQ(PackStreamHeader({kNo, 17, kObjectStreamKind, kNo, kNo, -1, kNo}),
            (15 << 16) | kObjectStreamKind | 1);
}

// Element types above 127 come back negative, and what the unpacking of 255
// gives packs back to 255.
TEST(StreamHeaderTest, UnpacksEveryFieldAndPacksItBack) {
  const std::int32_t word = 0x05030000 | kReservedFlag | kEmptyFlag | 0x20 | 0x7;
  const StreamHeader h = UnpackStreamHeader(word);
  EXPECT_EQ(std::tuple(h.version, h.kind, h.reserved, h.empty, h.dimensions, h.element_type),
            std::tuple(7, 32, true, true, 3, 5));
  EXPECT_EQ(
      PackStreamHeader({kNo, h.version, h.kind, h.empty, h.reserved, h.dimensions, h.element_type}),
      word);
  // Kind is kept in place, so unknown kinds show as they are.
  EXPECT_EQ(UnpackStreamHeader(0xF1).kind, 0xF0);

  const std::int32_t type200 = PackStreamHeader({kNo, 1, kArrayStreamKind, kNo, kNo, kNo, 200});
  EXPECT_EQ(UnpackStreamHeader(type200).element_type, 200 - 256);
  EXPECT_EQ(PackStreamHeader({kNo, 1, kArrayStreamKind, kNo, kNo, kNo, -1}),
            static_cast<std::int32_t>(0xFF000021u));
  EXPECT_EQ(UnpackStreamHeader(static_cast<std::int32_t>(0xFF000021u)).element_type, -1);
  EXPECT_EQ(UnpackStreamHeader(static_cast<std::int32_t>(0x80000000u)).element_type, -128);
  EXPECT_EQ(UnpackStreamHeader(0x7F000000).element_type, 127);
}

// ---- Inspection ---------------------------------------------------------------

struct Answers {
  bool loads;
  std::int16_t kind;
  bool is_object;
  std::string class_name;
  bool holds_nothing;
  bool operator==(const Answers&) const = default;
};

void PrintTo(const Answers& a, std::ostream* os) {
  *os << a.loads << ' ' << a.kind << ' ' << a.is_object << " '" << a.class_name << "' "
      << a.holds_nothing;
}

Answers AnswersOf(const StreamInfo& info) {
  return {info.loads_as_bag, info.kind, info.is_object_stream, info.class_name, info.holds_nothing};
}

// Asks every routine, and InspectStream in both forms, which must agree; the
// component's ObjectTypeName gives the class of an object Stream, "Array" for
// an array stream and nothing else.
void ExpectAnswers(const Bytes& bytes, const Answers& want) {
  EXPECT_EQ((Answers{LoadsAsBag(bytes), StreamKind(bytes), IsObjectStream(bytes),
                     StreamClassName(bytes), StreamHoldsNothing(bytes)}),
            want);
  const SafeArray stream = SafeArray::FromBytes(bytes);
  EXPECT_EQ(IsStream(stream), want.is_object);
  EXPECT_EQ(ObjectTypeName(stream), want.kind == kObjectStreamKind  ? want.class_name
                                    : want.kind == kArrayStreamKind ? "Array"
                                                                    : "");
  EXPECT_EQ(AnswersOf(InspectStream(bytes)), want);
  const auto bag = BagReader::TryParse(bytes);
  Answers again = AnswersOf(InspectStream(bag ? &*bag : nullptr));
  again.loads = want.loads;  // not told for a parsed bag
  EXPECT_EQ(again, want);
}

TEST(StreamInspectionTest, EveryRoutineGivesTheSameAnswers) {
  Bytes truncated = BagOf({{"@SF#", Variant(529)}});
  truncated.pop_back();
  const std::pair<Bytes, Answers> cases[] = {
      // Bytes that are no bag are no Stream; nor is a bag without a header.
      {{}, {false, 0, false, "", false}},
      {{'n', 'o', 't', ' ', 'a', ' ', 'b', 'a', 'g', 0, 0, 0, 0}, {false, 0, false, "", false}},
      {truncated, {false, 0, false, "", false}},
      {BagOf({}), {true, 0, false, "", false}},
      {BagOf({{"@OT#", Variant("Invoice")}}), {true, 0, false, "Invoice", false}},
      // Object Streams; without a class name and empty flag, a Stream without a name.
      {BagOf({{"@SF#", Variant(17)}, {"@OT#", Variant("Invoice")}, {"Number", Variant(42)}}),
       {true, 16, true, "Invoice", false}},
      {BagOf({{"@SF#", Variant(17)}}), {true, 16, true, "", false}},
      // A null reference; a stored name wins over the empty flag.
      {BagOf({{"@SF#", Variant(529)}}), {true, 16, true, "Nothing", true}},
      {BagOf({{"@SF#", Variant(529)}, {"@OT#", Variant("")}}), {true, 16, true, "Nothing", true}},
      {BagOf({{"@SF#", Variant(529)}, {"@OT#", Variant("Client")}}),
       {true, 16, true, "Client", true}},
      // Version 2 is still recognised.
      {BagOf({{"@SF#", Variant(18)}, {"@OT#", Variant("Invoice")}}),
       {true, 16, true, "Invoice", false}},
      // Array Streams (without dimensions: the empty flag) and unknown kinds.
      {BagOf({{"@SF#", Variant(33)}}), {true, 32, false, "", false}},
      {BagOf({{"@SF#", Variant(50397217)}}), {true, 32, false, "", false}},
      {BagOf({{"@SF#", Variant(134218273)}}), {true, 32, false, "Nothing", true}},
      {BagOf({{"@SF#", Variant(0x31)}}), {true, 0, false, "", false}},
      {BagOf({{"@SF#", Variant(0x201)}}), {true, 0, false, "Nothing", true}},
      // The header converts by the automation rules; where it does not, the
      // routines give their failure results. Empty converts to 0.
      {BagOf({{"@SF#", Variant("17")}}), {true, 16, true, "", false}},
      {BagOf({{"@SF#", Variant(16.6)}}), {true, 16, true, "", false}},
      {BagOf({{"@SF#", Variant(std::uint8_t{33})}}), {true, 32, false, "", false}},
      {BagOf({{"@SF#", Variant(1e12)}}), {true, 0, false, "", false}},
      {BagOf({{"@SF#", Variant(kNull)}, {"@OT#", Variant("X")}}), {true, 0, false, "X", false}},
      {BagOf({{"@SF#", Variant(SafeArray::FromBytes(Bytes{17}))}}), {true, 0, false, "", false}},
      {BagOf({{"@SF#", Variant()}}), {true, 0, false, "", false}},
      // The class name converts; where it does not: "", even with the empty flag.
      {BagOf({{"@SF#", Variant(17)}, {"@OT#", Variant(5)}}), {true, 16, true, "5", false}},
      {BagOf({{"@SF#", Variant(529)}, {"@OT#", Variant(kNull)}}), {true, 16, true, "", true}},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    ExpectAnswers(cases[i].first, cases[i].second);
  }
  EXPECT_EQ(ObjectTypeName(SafeArray::UnallocatedBytes()), "");
  EXPECT_FALSE(IsStream(SafeArray::UnallocatedBytes()));
  EXPECT_FALSE(IsStream(SafeArray(VarType::I4, {{0, 3}})));

  // The header word alone: 0 when absent, converted, nothing when it does not convert.
  auto word = [](const Entries& entries) { return StreamHeaderWord(BagReader(BagOf(entries))); };
  EXPECT_EQ(word({}), 0);
  EXPECT_EQ(word({{"@SF#", Variant(-5)}}), -5);
  EXPECT_EQ(word({{"@SF#", Variant(2.5)}}), 2);  // half to even
  EXPECT_EQ(word({{"@SF#", Variant("x")}}), std::nullopt);
}

}  // namespace
}  // namespace replikon
