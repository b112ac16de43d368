// Reading a field-backed property in place (detail::FieldAccess::PlainIn, ArrayIn) and
// writing what is read into a bag without a Variant (BagWriter::WritePlain):
// the entry must be the one the get's Variant gives.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "automation/bag_codec.hpp"
#include "plain_types.hpp"
#include "replikon/automation/property_bag.hpp"
#include "replikon/server.hpp"
#include "test_support.hpp"

namespace {

using namespace replikon;
using test_support::ErrorFrom;

using Fields = test_support::PlainTypes;

std::shared_ptr<const ClassInfo> FieldsClass() {
  static const std::shared_ptr<const ClassInfo> info = [] {
    ClassBuilder<Fields> b("Fields");
    test_support::AddPlainMembers(b);
    return b.BuildInfo();
  }();
  return info;
}

const detail::FieldAccess& FieldOf(const char* name) {
  const MemberDescription* get = FieldsClass()->Interface()->Find(name, InvokeKind::PropertyGet);
  EXPECT_NE(get, nullptr);
  EXPECT_NE(get->Field(), nullptr);
  return *get->Field();
}

TEST(FieldReads, PlainFieldsWriteTheEntriesTheirGetsGive) {
  ObjectRef object = MakeObject<Fields>(FieldsClass());
  object.As<Fields>()->Fill();
  for (const char* name :
       {"I2", "I4", "R4", "R8", "Cy", "Date", "Text", "Error", "Flag", "Dec", "Byte"}) {
    SCOPED_TRACE(name);
    const detail::FieldAccess& field = FieldOf(name);
    VarType type = VarType::Empty;
    const void* held = field.PlainIn(*object, type);
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(field.ArrayIn(*object), nullptr);
    std::vector<std::uint8_t> direct;
    BagWriter writer(direct);
    writer.WritePlain(name, type, held);
    writer.Finish();
    EXPECT_EQ(direct, test_support::BagOf({{name, field.Get(*object)}}));
  }
}

TEST(FieldReads, OnlyTheirOwnKindOfPlainFieldOfTheirOwnClassIsReadInPlace) {
  ObjectRef object = MakeObject<Fields>(FieldsClass());
  VarType type = VarType::Empty;
  for (const char* name : {"Any", "Other", "Longs"}) {
    EXPECT_EQ(FieldOf(name).PlainIn(*object, type), nullptr) << name;
  }
  EXPECT_EQ(FieldOf("Longs").ArrayIn(*object), &object.As<Fields>()->longs);
  EXPECT_EQ(FieldOf("Any").ArrayIn(*object), nullptr);
  EXPECT_EQ(FieldOf("Other").ArrayIn(*object), nullptr);

  // An instance of another class: its gets fail, so nothing is read in place.
  struct Stranger {};
  ObjectRef stranger = MakeObject<Stranger>(ClassBuilder<Stranger>("Stranger").BuildInfo());
  EXPECT_EQ(FieldOf("I4").PlainIn(*stranger, type), nullptr);
  EXPECT_EQ(FieldOf("Longs").ArrayIn(*stranger), nullptr);

  // Nor is an array written as a plain value.
  std::vector<std::uint8_t> out;
  BagWriter bag(out);
  EXPECT_EQ(ErrorFrom([&] {
              bag.WritePlain("Longs", VarType::Array | VarType::UI1, &object.As<Fields>()->longs);
            }).Number(),
            errors::kTypeMismatch);
  EXPECT_EQ(bag.EntryCount(), 0U);
}

}  // namespace
