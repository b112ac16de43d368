// Stream round trips of document graphs whose links back to an owner are weak
// properties, through the component as a client uses it.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "replikon/control/replikon.hpp"
#include "graph_classes.hpp"
#include "test_support.hpp"

namespace replikon::testing {
namespace {

class GraphRoundTrip : public ::testing::Test {
 protected:
  GraphRoundTrip() {
    control_.SetObjectServerName("Lib");
    control_.SetRaiseRecursionCheckEvent(false);
  }
  void TearDown() override { EXPECT_EQ(Live(), 0) << "instances left alive"; }

  std::int64_t Live() const { return classes_.Live(); }
  ObjectRef NewDoc(std::string title) { return classes_.NewDoc(std::move(title)); }
  ObjectRef NewSection(std::int32_t number, const ObjectRef& parent) {
    return classes_.NewSection("", parent, number);
  }

  // A document with `count` sections, in both its object array (from 1) and
  // its Variant list (from 0).
  ObjectRef NewDocument(std::int32_t count) {
    ObjectRef doc = NewDoc("report");
    SafeArray objects(VarType::Dispatch, {ArrayBound{1, count}});
    SafeArray list(VarType::Variant, {ArrayBound{0, count - 1}});
    for (std::int32_t i = 0; i < count; ++i) {
      ObjectRef section = NewSection(i + 1, doc);
      objects.SetRef({i + 1}, section);
      list.SetRef({i}, section);
    }
    doc.As<Doc>()->sections = std::move(objects);
    doc.As<Doc>()->items = Variant(std::move(list));
    return doc;
  }

  // Sections 0..count-1 chained by Next (counted) and Prev (weak).
  ObjectRef NewChain(std::int32_t count) {
    ObjectRef doc = NewDoc("chain");
    ObjectRef last;
    for (std::int32_t i = 0; i < count; ++i) {
      ObjectRef node = NewSection(i, doc);
      if (last) {
        last.As<Section>()->next = node;
        node.As<Section>()->prev = last;
      } else {
        doc.As<Doc>()->main = node;
      }
      last = node;
    }
    return doc;
  }

  // Walks a chain made by NewChain, checking every link.
  static void ExpectChain(const ObjectRef& doc, std::int32_t count) {
    ObjectRef node = doc.As<Doc>()->main;
    ObjectRef prev;
    for (std::int32_t i = 0; i < count; ++i) {
      ASSERT_FALSE(node.IsNull()) << "node " << i;
      const Section& s = *node.As<Section>();
      ASSERT_EQ(s.number, i);
      ASSERT_EQ(s.parent.Lock(), doc) << "node " << i;
      ASSERT_EQ(s.prev.Lock(), prev) << "node " << i;
      prev = node;
      node = s.next;
    }
    EXPECT_TRUE(node.IsNull());
  }

  GraphClasses classes_;
  Replikon control_{nullptr, classes_.Registry()};
};

TEST_F(GraphRoundTrip, WeakParentsPointToTheRebuiltDocument) {
  control_.SetPreserveIdentity(true);
  {
    ObjectRef doc = NewDocument(3);
    ObjectRef back = control_.ObjectFromStream(control_.StreamFromObject(doc));
    ASSERT_FALSE(back.IsNull());
    EXPECT_EQ(Live(), 2 * 4);  // no section made twice

    const Doc& d = *back.As<Doc>();
    EXPECT_EQ(d.title, "report");
    ASSERT_EQ(d.sections.ElementType(), VarType::Dispatch);
    EXPECT_EQ(d.sections.Bounds()[0], (ArrayBound{1, 3}));
    ASSERT_TRUE(d.items.IsArray());
    const SafeArray& list = d.items.Array();
    EXPECT_EQ(list.Bounds()[0], (ArrayBound{0, 2}));
    for (std::int32_t i = 0; i < 3; ++i) {
      const ObjectRef section = d.sections.Get({i + 1}).Object();
      ASSERT_FALSE(section.IsNull());
      EXPECT_NE(section, doc.As<Doc>()->sections.Get({i + 1}).Object());
      EXPECT_EQ(section.As<Section>()->number, i + 1);
      EXPECT_EQ(section.As<Section>()->parent.Lock(), back);
      EXPECT_EQ(list.Get({i}).Object(), section);  // one object in both lists
    }
  }
  EXPECT_EQ(Live(), 0);  // the weak links hold nothing back
}

TEST_F(GraphRoundTrip, DroppingTheRebuiltRootFreesItsSections) {
  control_.SetPreserveIdentity(true);
  ObjectRef doc = NewDocument(5);
  const SafeArray stream = control_.StreamFromObject(doc);
  doc.Reset();
  EXPECT_EQ(Live(), 0);
  ObjectRef back = control_.ObjectFromStream(stream);
  EXPECT_EQ(Live(), 6);
  back.Reset();
  EXPECT_EQ(Live(), 0);
}

TEST_F(GraphRoundTrip, WithoutTheSettingListsAreNotCarried) {
  ObjectRef doc = NewDocument(3);
  ObjectRef back = control_.ObjectFromStream(control_.StreamFromObject(doc));
  ASSERT_FALSE(back.IsNull());
  EXPECT_EQ(Live(), 4 + 1);  // the sections are not made again
  const Doc& d = *back.As<Doc>();
  EXPECT_EQ(d.title, "report");
  EXPECT_FALSE(d.sections.IsAllocated());  // left as a new document has it
  ASSERT_TRUE(d.items.IsArray());
  ASSERT_EQ(d.items.Array().Count(), 3u);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_TRUE(d.items.Array().GetFlat(i).IsEmpty());

  // And Copy of the same document shares the source's sections.
  ObjectRef copy = control_.Copy(doc);
  const ObjectRef section = copy.As<Doc>()->sections.Get({1}).Object();
  EXPECT_EQ(section, doc.As<Doc>()->sections.Get({1}).Object());
  EXPECT_EQ(section.As<Section>()->parent.Lock(), doc);
}

TEST_F(GraphRoundTrip, DoublyLinkedListRoundTripsAndCopiesWhole) {
  constexpr std::int32_t kNodes = 10000;
  control_.SetPreserveIdentity(true);
  ObjectRef doc = NewChain(kNodes);

  ObjectRef back = control_.ObjectFromStream(control_.StreamFromObject(doc));
  ASSERT_FALSE(back.IsNull());
  ExpectChain(back, kNodes);
  EXPECT_EQ(Live(), 2 * (kNodes + 1));

  ObjectRef copy = control_.Copy(back);
  ASSERT_FALSE(copy.IsNull());
  ExpectChain(copy, kNodes);
  EXPECT_EQ(Live(), 3 * (kNodes + 1));

  back.Reset();
  copy.Reset();
  EXPECT_EQ(Live(), kNodes + 1);
}

TEST_F(GraphRoundTrip, WithoutTheSettingAWeakLinkBackIsRefused) {
  // Reached as a subobject, a section's link back to the root is the
  // back-pointer problem it always was, weak or not.
  ObjectRef doc = NewChain(2);
  EXPECT_EQ(test_support::ErrorFrom([&] { control_.StreamFromObject(doc); }).Number(), 601);
}

}  // namespace
}  // namespace replikon::testing
