// The stream writer and reader, driven alone through an engine context.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "automation/bag_codec.hpp"
#include "replikon/server.hpp"
#include "replikon/stream/array_encoding.hpp"
#include "replikon/stream/stream_layout.hpp"
#include "stream/stream_driver.hpp"

namespace replikon::testing {
namespace {

struct Item {
  std::int32_t number = 0;
  std::string text;
  Currency price;
  SafeArray values{VarType::I4};
  Variant any;
  ObjectRef child;
  ObjectRef other;
  std::int32_t hidden_value = 7;
  std::int32_t fail_count = 0;
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

  static std::vector<std::string> Keys(std::span<const std::uint8_t> bytes) {
    std::vector<std::string> keys;
    BagReader bag(bytes);
    for (const auto& e : bag.Entries()) keys.emplace_back(e.key);
    return keys;
  }

  ClassRegistry& Registry() override { return registry_; }

  ClassRegistry registry_;
};

TEST_F(StreamEngines, EntriesFollowTheMemberOrder) {
  ObjectRef item = NewItem(42);
  std::int32_t status = 0;
  const auto bytes = Write(item, status);
  EXPECT_EQ(status, 0);
  // Object properties holding null references are written as null Streams;
  // "_Default" is never written; a read-only property is.
  EXPECT_EQ(Keys(bytes), (std::vector<std::string>{"@SF#", "@OT#", "Number", "Text", "Price",
                                                   "Values", "Any", "Child", "Other", "Fixed"}));
  BagReader bag(bytes);
  EXPECT_EQ(bag.ReadProperty("@SF#"), Variant(17));
  EXPECT_EQ(bag.ReadProperty("@OT#"), Variant("Item"));
  EXPECT_EQ(bag.ReadProperty("Number"), Variant(42));
  const auto child = bag.ReadBytes("Child");
  ASSERT_TRUE(child.has_value());
  EXPECT_TRUE(StreamHoldsNothing(*child));
  // The events: one per object property, before anything is written for it.
  ASSERT_EQ(events_.size(), 2u);
  EXPECT_EQ(events_[0].current_object_property, "Child");
  EXPECT_EQ(events_[0].error_status, 0);
  EXPECT_EQ(events_[0].current_object, item);
  EXPECT_EQ(events_[0].parent_object, item);
  EXPECT_EQ(events_[0].root_object, item);
}

TEST_F(StreamEngines, SettingsSteerObjectProperties) {
  ObjectRef item = NewItem(1);
  item.As<Item>()->child = NewItem(2);
  std::int32_t status = 0;

  settings_.recursion_allowed = false;
  auto keys = Keys(Write(item, status));
  EXPECT_EQ(std::count(keys.begin(), keys.end(), "Child"), 0);
  EXPECT_TRUE(events_.empty());

  settings_.recursion_allowed = true;
  cancel_property_ = "Child";
  keys = Keys(Write(item, status));
  EXPECT_EQ(std::count(keys.begin(), keys.end(), "Child"), 0);
  EXPECT_EQ(std::count(keys.begin(), keys.end(), "Other"), 1);
  EXPECT_EQ(status, 0);
}

TEST_F(StreamEngines, ExternalSubobjects) {
  ObjectRef item = NewItem(1);
  item.As<Item>()->child = registry_.CreateByProgId("ExtLib.Foreign");
  std::int32_t status = 0;

  settings_.problems_notification = ProblemsNotificationConstants::SourceObjectOnly;
  auto keys = Keys(Write(item, status));
  EXPECT_EQ(std::count(keys.begin(), keys.end(), "Child"), 0);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(events_.size(), 2u);  // the two new-subobject events only

  events_.clear();
  settings_.problems_notification = ProblemsNotificationConstants::OnSubobjectProblem;
  settings_.raise_recursion_check_event = false;
  const auto bytes = Write(item, status);
  EXPECT_EQ(status, 601);
  ASSERT_EQ(events_.size(), 1u);
  EXPECT_EQ(events_[0].error_status, 601);
  EXPECT_TRUE(events_[0].cancel);
  EXPECT_EQ(events_[0].current_object_property, "Child");

  // SetExternalReferences does not change a byte.
  std::int32_t s2 = 0;
  settings_.set_external_references = true;
  EXPECT_EQ(Write(item, s2), bytes);
}

TEST_F(StreamEngines, CyclesAreNotFollowed) {
  ObjectRef parent = NewItem(1);
  ObjectRef child = NewItem(2);
  parent.As<Item>()->child = child;
  child.As<Item>()->other = parent;   // back-pointer
  parent.As<Item>()->other = parent;  // self-reference
  std::int32_t status = 0;
  settings_.problems_notification = ProblemsNotificationConstants::SourceObjectOnly;
  const auto bytes = Write(parent, status);
  EXPECT_EQ(status, 0);
  auto nested = BagReader(bytes).ReadBytes("Child");
  ASSERT_TRUE(nested.has_value());
  auto keys = Keys(*nested);
  EXPECT_EQ(std::count(keys.begin(), keys.end(), "Other"), 0);

  settings_.problems_notification = ProblemsNotificationConstants::OnSubobjectProblem;
  events_.clear();
  Write(parent, status);
  EXPECT_EQ(status, 601);
  int problems = 0;
  for (const auto& e : events_) problems += e.error_status == 601;
  EXPECT_EQ(problems, 2);
  parent.As<Item>()->other.Reset();
  child.As<Item>()->other.Reset();
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
  std::int32_t status = 0;
  const auto from_mirror = Write(mirror, status);
  EXPECT_EQ(mirror.As<Mirror>()->number_reads, 2);
  EXPECT_EQ(mirror.As<Mirror>()->child_reads, 2);
  on_event_ = [&](RecursionCheckArgs& args) {
    if (args.current_object_property == "Child" && args.current_object == item) {
      item.As<Item>()->child = NewItem(3);
    }
  };
  const auto from_item = Write(item, status);
  ASSERT_EQ(status, 0);
  EXPECT_EQ(item.As<Item>()->child.As<Item>()->number, 3);

  const BagReader a(from_mirror);
  const BagReader b(from_item);
  ASSERT_NE(a.Find("Number"), nullptr);
  ASSERT_NE(b.Find("Number"), nullptr);
  EXPECT_TRUE(std::ranges::equal(a.Find("Number")->payload, b.Find("Number")->payload));
  const auto a_child = a.ReadBytes("Child");
  const auto b_child = b.ReadBytes("Child");
  ASSERT_TRUE(a_child && b_child);
  EXPECT_TRUE(std::ranges::equal(*a_child, *b_child));
}

// Every form of the null-reference Stream sets the property to Nothing, once;
// a nested object Stream is read as what it is.
TEST_F(StreamEngines, NestedNothingInEveryForm) {
  const std::function<void(BagWriter&)> forms[] = {
      [](BagWriter& w) { w.Write("@SF#", Variant(529)); },
      [](BagWriter& w) { w.Write("@SF#", Variant("529")); },
      [](BagWriter& w) {
        w.Write("@SF#", Variant(529));
        w.Write("@OT#", Variant(""));
      },
      [](BagWriter& w) {
        w.Write("@SF#", Variant(17));
        w.Write("@OT#", Variant("Holder"));
      },
  };
  for (std::size_t i = 0; i < std::size(forms); ++i) {
    std::vector<std::uint8_t> nested;
    BagWriter child(nested);
    forms[i](child);
    child.Finish();
    std::vector<std::uint8_t> stream;
    BagWriter top(stream);
    top.Write("@SF#", Variant(17));
    top.Write("@OT#", Variant("Holder"));
    top.WriteBytes("Child", nested);
    top.Finish();
    std::int32_t status = 0;
    const ObjectRef back = Read(stream, status);
    EXPECT_EQ(status, 0);
    ASSERT_TRUE(back);
    EXPECT_EQ(back.As<Holder>()->sets, 1) << i;
    EXPECT_EQ(ClassNameOf(back.As<Holder>()->child), i < 3 ? "Nothing" : "Holder") << i;
  }
}

TEST_F(StreamEngines, RoundTrip) {
  ObjectRef item = NewItem(5);
  Item* it = item.As<Item>();
  it->price = Currency{123456};
  it->values = SafeArray(VarType::I4, {{-1, 1}});
  it->values.Set({0}, Variant(99));
  SafeArray inner(VarType::R8, {{0, 1}});
  inner.Set({1}, Variant(2.5));
  it->any = Variant(inner);
  it->child = NewItem(6);
  it->child.As<Item>()->any = Variant(NewItem(7));  // an object in a Variant: comes back Empty
  it->hidden_value = 11;

  std::int32_t status = 0;
  const auto bytes = Write(item, status);
  ASSERT_EQ(status, 0);
  events_.clear();
  ObjectRef back = Read(bytes, status);
  ASSERT_EQ(status, 0);
  ASSERT_TRUE(back);
  Item* b = back.As<Item>();
  EXPECT_EQ(b->number, 5);
  EXPECT_EQ(b->text, "item 5");
  EXPECT_EQ(b->price, Currency{123456});
  EXPECT_EQ(Variant(b->values), Variant(it->values));
  EXPECT_EQ(b->any, Variant(inner));
  EXPECT_EQ(b->hidden_value, 7);  // "_Default" is neither written nor read
  ASSERT_TRUE(b->child);
  EXPECT_EQ(b->child.As<Item>()->number, 6);
  EXPECT_TRUE(b->child.As<Item>()->any.IsEmpty());
  EXPECT_TRUE(b->other.IsNull());
  // The reader's events name the partly filled objects.
  ASSERT_FALSE(events_.empty());
  EXPECT_EQ(events_[0].root_object, back);
  EXPECT_EQ(events_[0].current_object, back);
}

TEST_F(StreamEngines, ReaderProblems) {
  ObjectRef item = NewItem(1);
  item.As<Item>()->child = NewItem(2);
  std::int32_t status = 0;
  const auto bytes = Write(item, status);

  // Read with a server that cannot create the nested class's... any class: root problem.
  settings_.object_server_name = "ExtLib";
  events_.clear();
  status = 0;
  EXPECT_TRUE(Read(bytes, status).IsNull());
  EXPECT_EQ(status, 601);
  ASSERT_EQ(events_.size(), 1u);
  EXPECT_EQ(events_[0].current_object_property, "");
  EXPECT_TRUE(events_[0].current_object.IsNull());

  // A nested Stream whose class cannot be created.
  settings_.object_server_name = "TestLib";
  BagReader top(bytes);
  std::vector<std::uint8_t> crafted;
  {
    BagWriter w(crafted);
    w.Write("@SF#", Variant(17));
    w.Write("@OT#", Variant("Item"));
    std::vector<std::uint8_t> nested;
    BagWriter n(nested);
    n.Write("@SF#", Variant(17));
    n.Write("@OT#", Variant("Nope"));
    n.Finish();
    w.WriteBytes("Child", nested);
    // A nested Stream naming a class that can be made but without a header word.
    std::vector<std::uint8_t> headless;
    BagWriter h(headless);
    h.Write("@OT#", Variant("Item"));
    h.Finish();
    w.WriteBytes("Other", headless);
    w.Finish();
  }
  settings_.problems_notification = ProblemsNotificationConstants::SourceObjectOnly;
  status = 0;
  ObjectRef back = Read(crafted, status);
  EXPECT_EQ(status, 602);
  ASSERT_TRUE(back);
  EXPECT_TRUE(back.As<Item>()->child.IsNull());

  settings_.problems_notification = ProblemsNotificationConstants::OnSubobjectProblem;
  status = 0;
  events_.clear();
  back = Read(crafted, status);
  EXPECT_EQ(status, 602);  // the status held last
  int problems = 0;
  for (const auto& e : events_) problems += e.error_status == 601;
  EXPECT_EQ(problems, 1);
}

TEST_F(StreamEngines, OtherFormatVersionRestoresNothing) {
  std::vector<std::uint8_t> stream;
  BagWriter w(stream);
  w.Write("@SF#", Variant(18));
  w.Write("@OT#", Variant("Item"));
  w.Write("Number", Variant(9));
  w.Finish();
  std::int32_t status = 0;
  ObjectRef back = Read(stream, status);
  EXPECT_EQ(status, 0);
  ASSERT_TRUE(back);
  EXPECT_EQ(back.As<Item>()->number, 0);
}

TEST_F(StreamEngines, DamagedStreamsNeverCrash) {
  ObjectRef item = NewItem(3);
  item.As<Item>()->child = NewItem(4);
  item.As<Item>()->any = Variant(SafeArray(VarType::BStr, {{0, 2}}));
  std::int32_t status = 0;
  const auto bytes = Write(item, status);
  for (std::size_t n = 0; n < bytes.size(); ++n) {
    std::vector<std::uint8_t> cut(bytes.begin(), bytes.begin() + static_cast<long>(n));
    status = 0;
    Read(cut, status);
    std::vector<std::uint8_t> flipped = bytes;
    flipped[n] ^= 0x5A;
    status = 0;
    Read(flipped, status);
    events_.clear();
  }
  // Nothing read from the damaged Streams is left alive.
  EXPECT_EQ(registry_.LiveInstances("TestLib.Item"), 2);
}

}  // namespace
}  // namespace replikon::testing
