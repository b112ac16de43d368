// The stream writer and reader, driven alone through an engine context.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "automation/bag_codec.hpp"
#include "replikon/server.hpp"
#include "replikon/stream/array_encoding.hpp"
#include "replikon/stream/stream_layout.hpp"
#include "stream/stream_driver.hpp"
#include "test_support.hpp"

namespace replikon::testing {
namespace {

using test_support::BagOf;
using test_support::Bytes;
using test_support::Entries;

struct Item {
  std::int32_t number = 0;
  std::string text;
  Currency price;
  SafeArray values{VarType::I4};
  Variant any;
  ObjectRef child;
  ObjectRef other;
  std::int32_t hidden_value = 7;
};

struct Foreign {
  std::int32_t id = 0;
};

// A class whose gets run the class's own code, counting the reads.
struct Mirror {
  std::int32_t number = 0;
  ObjectRef child;
  std::int32_t number_reads = 0;
  std::int32_t child_reads = 0;
};

// A class whose Child counts its sets.
struct Holder {
  ObjectRef child;
  int sets = 0;
};

class StreamEngines : public StreamEngineTest {
 protected:
  StreamEngines() {
    Server test("TestLib");
    test.Class<Item>("Item")
        .Property("Number", &Item::number)
        .Property("Text", &Item::text)
        .Property("Price", &Item::price)
        .ArrayProperty("Values", &Item::values, VarType::I4)
        .Property("Any", &Item::any)
        .Property("Child", &Item::child)
        .Property("Other", &Item::other)
        .ReadOnly("Fixed", &Item::hidden_value)
        .Property("_Default", &Item::hidden_value);
    test.Class<Mirror>("Mirror")
        .Get("Number", VarType::I4,
             [](Mirror& m) {
               ++m.number_reads;
               return m.number;
             })
        .Get("Child", VarType::Dispatch, [](Mirror& m) {
          ++m.child_reads;
          return m.child;
        });
    test.Class<Holder>("Holder")
        .Get("Child", [](Holder& h) { return h.child; })
        .Set("Child", [](Holder& h, const ObjectRef& o) {
          ++h.sets;
          h.child = o;
        });
    registry_.Register(test);
    Server ext("ExtLib");
    ext.Class<Foreign>("Foreign").Property("Id", &Foreign::id);
    registry_.Register(ext);
    settings_.object_server_name = "TestLib";
  }

  ObjectRef NewItem(std::int32_t number) {
    ObjectRef o = registry_.CreateByProgId("TestLib.Item");
    o.As<Item>()->number = number;
    o.As<Item>()->text = "item " + std::to_string(number);
    return o;
  }

  ClassRegistry& Registry() override { return registry_; }

  ClassRegistry registry_;
};

// Cancelling in the event is checked with arrays in GraphStreams; here, a
// read cancelled at an object property leaves the new object's value.
TEST_F(StreamEngines, WithoutRecursionOrCancelledObjectPropertiesAreLeftOut) {
  ObjectRef item = NewItem(1);
  item.As<Item>()->child = NewItem(2);
  const std::vector<std::uint8_t> stream = Write(item);
  cancel_property_ = "Child";
  EXPECT_TRUE(Read(stream).As<Item>()->child.IsNull());
  events_.clear();
  settings_.recursion_allowed = false;
  EXPECT_EQ(BagReader(Write(item)).Find("Child"), nullptr);
  EXPECT_TRUE(events_.empty());
}

// A property backed by a field is read once; one whose get runs the class's
// code is read twice. Both give the same entries, and the subobject written is
// the one read, even when the event's handler changes the property meanwhile.
TEST_F(StreamEngines, FieldsAndClientGetsGiveTheSameEntries) {
  ObjectRef item = NewItem(4);
  item.As<Item>()->child = NewItem(2);
  ObjectRef mirror = registry_.CreateByProgId("TestLib.Mirror");
  mirror.As<Mirror>()->number = 4;
  mirror.As<Mirror>()->child = item.As<Item>()->child;
  const Bytes from_mirror = Write(mirror);
  EXPECT_EQ(std::pair(mirror.As<Mirror>()->number_reads, mirror.As<Mirror>()->child_reads),
            std::pair(2, 2));
  on_event_ = [&](RecursionCheckArgs& args) {
    if (args.current_object_property == "Child" && args.current_object == item) {
      item.As<Item>()->child = NewItem(3);
    }
  };
  const Bytes from_item = Write(item);
  ASSERT_EQ(status_, 0);
  EXPECT_EQ(item.As<Item>()->child.As<Item>()->number, 3);
  const BagReader a(from_mirror);
  const BagReader b(from_item);
  EXPECT_EQ(a.ReadProperty("Number"), Variant(4));
  EXPECT_EQ(b.ReadProperty("Number"), Variant(4));
  ASSERT_TRUE(a.ReadBytes("Child").has_value());
  EXPECT_EQ(a.ReadProperty("Child"), b.ReadProperty("Child"));
}

// Every form of the null-reference Stream sets the property to Nothing, once;
// a nested object Stream is read as what it is.
TEST_F(StreamEngines, NestedNothingInEveryForm) {
  const Entries forms[] = {
      {{"@SF#", Variant(529)}},
      {{"@SF#", Variant("529")}},
      {{"@SF#", Variant(529)}, {"@OT#", Variant("")}},
      {{"@SF#", Variant(17)}, {"@OT#", Variant("Holder")}},
  };
  for (std::size_t i = 0; i < std::size(forms); ++i) {
    const ObjectRef back = Read(ObjectStream("Holder", {{"Child", BytesValue(BagOf(forms[i]))}}));
    EXPECT_EQ(status_, 0);
    ASSERT_TRUE(back);
    EXPECT_EQ(back.As<Holder>()->sets, 1) << i;
    EXPECT_EQ(ClassNameOf(back.As<Holder>()->child), i < 3 ? "Nothing" : "Holder") << i;
  }
}

// The entries follow the member order: object properties holding null
// references are written as null Streams; "_Default" is neither written nor
// read; a read-only property is written. The writer's events come one per
// object property, before anything is written for it.
TEST_F(StreamEngines, RoundTrip) {
  ObjectRef item = NewItem(5);
  Item* it = item.As<Item>();
  it->child = NewItem(6);
  it->child.As<Item>()->any = Variant(NewItem(7));  // an object in a Variant: comes back Empty
  it->hidden_value = 11;

  const auto bytes = Write(item);
  ASSERT_EQ(status_, 0);
  std::vector<std::string> keys;
  const BagReader bag(bytes);
  for (const auto& e : bag.Entries()) keys.emplace_back(e.key);
  EXPECT_EQ(keys, (std::vector<std::string>{"@SF#", "@OT#", "Number", "Text", "Price", "Values",
                                            "Any", "Child", "Other", "Fixed"}));
  EXPECT_TRUE(StreamHoldsNothing(bag.ReadBytes("Other").value()));
  std::vector<std::string> names;
  for (const auto& e : events_) names.push_back(e.current_object_property);
  // The object in Any is written, and comes back Empty.
  EXPECT_EQ(names, (std::vector<std::string>{"Child", "Any", "Child", "Other", "Child", "Other",
                                             "Other"}));
  EXPECT_EQ(std::tuple(events_[0].error_status, events_[0].current_object, events_[0].parent_object,
                       events_[0].root_object),
            std::tuple(0, item, item, item));
  events_.clear();
  ObjectRef back = Read(bytes);
  ASSERT_EQ(status_, 0);
  ASSERT_TRUE(back);
  Item* b = back.As<Item>();
  EXPECT_EQ(std::pair(b->number, b->hidden_value), std::pair(5, 7));  // "_Default" not read
  ASSERT_TRUE(b->child);
  EXPECT_EQ(b->child.As<Item>()->number, 6);
  EXPECT_TRUE(b->child.As<Item>()->any.IsEmpty());
  // The reader's events name the partly filled objects.
  ASSERT_FALSE(events_.empty());
  EXPECT_EQ(std::pair(events_[0].root_object, events_[0].current_object), std::pair(back, back));
}

TEST_F(StreamEngines, ReaderProblemsAndAnotherFormatVersion) {
  // A server that cannot make the root's class: a root problem.
  const auto bytes = Write(NewItem(1));
  settings_.object_server_name = "ExtLib";
  events_.clear();
  EXPECT_TRUE(Read(bytes).IsNull());
  EXPECT_EQ(status_, 601);
  ASSERT_EQ(events_.size(), 1u);
  EXPECT_EQ(events_[0].current_object_property, "");
  EXPECT_TRUE(events_[0].current_object.IsNull());

  // A nested Stream whose class cannot be created, and one naming a class
  // that can be made but without a header word.
  settings_.object_server_name = "TestLib";
  settings_.problems_notification = ProblemsNotificationConstants::OnSubobjectProblem;
  events_.clear();
  ObjectRef back =
      Read(ObjectStream("Item", {{"Child", BytesValue(ObjectStream("Nope"))},
                                 {"Other", BytesValue(BagOf({{"@OT#", Variant("Item")}}))}}));
  EXPECT_EQ(status_, 602);  // the status held last
  ASSERT_TRUE(back);
  EXPECT_TRUE(back.As<Item>()->child.IsNull());
  EXPECT_EQ(std::ranges::count(events_, 601, &RecursionCheckArgs::error_status), 1);

  // Another format version: the object is made, and nothing restored.
  back = Read(ObjectStream("Item", {{"Number", Variant(9)}}, 18));
  EXPECT_EQ(status_, 0);
  ASSERT_TRUE(back);
  EXPECT_EQ(back.As<Item>()->number, 0);
}

TEST_F(StreamEngines, DamagedStreamsNeverCrash) {
  ObjectRef item = NewItem(3);
  item.As<Item>()->child = NewItem(4);
  item.As<Item>()->any = Variant(SafeArray(VarType::BStr, {{0, 2}}));
  const auto bytes = Write(item);
  for (std::size_t n = 0; n < bytes.size(); ++n) {
    Read(std::span(bytes).first(n));
    Bytes flipped = bytes;
    flipped[n] ^= 0x5A;
    Read(flipped);
    events_.clear();
  }
  // Nothing read from the damaged Streams is left alive.
  EXPECT_EQ(registry_.LiveInstances("TestLib.Item"), 2);
}

}  // namespace
}  // namespace replikon::testing
