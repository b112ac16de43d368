// Copy of whole object graphs with PreserveIdentity: shared objects, links
// back to ancestors, objects in arrays; and weak object properties.
#include <gtest/gtest.h>

#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "copy/engine_copier.hpp"
#include "graph_classes.hpp"

namespace replikon::testing {
namespace {

class GraphCopyTest : public ::testing::Test {
 protected:
  GraphCopyTest() {
    engine_.settings.object_server_name = "Lib";
    engine_.settings.preserve_identity = true;
  }
  void TearDown() override { EXPECT_EQ(classes_.Live(), 0) << "instances left alive"; }

  GraphClasses classes_;
  EngineCopier engine_{classes_.Registry()};
};

TEST_F(GraphCopyTest, ObjectReachedTwiceIsCopiedOnce) {
  // Main -> a -> Next -> b, Extra -> c -> Owner -> b, and both in Sections.
  ObjectRef doc = classes_.NewDoc("d");
  ObjectRef a = classes_.NewSection("a");
  ObjectRef b = classes_.NewSection("b");
  ObjectRef c = classes_.NewSection("c");
  D(doc).main = a;
  D(doc).extra = c;
  S(a).next = b;
  S(c).owner = b;
  D(doc).sections = Objects(0, {a, b, b});

  ObjectRef copy = engine_.Copy(doc);
  ASSERT_TRUE(copy);
  const ObjectRef& ca = D(copy).main;
  ASSERT_TRUE(ca);
  const ObjectRef& cb = S(ca).next;
  ASSERT_TRUE(cb);
  EXPECT_NE(cb, b);
  EXPECT_EQ(S(cb).title, "b");
  EXPECT_EQ(S(D(copy).extra).owner, cb);
  EXPECT_EQ(D(copy).sections, Objects(0, {ca, cb, cb}));
  EXPECT_EQ(classes_.Live(), 4 + 4);

  // Off: the tree the graph unfolds into, the array shared with the source.
  engine_.settings.preserve_identity = false;
  copy = engine_.Copy(doc);
  ASSERT_TRUE(copy);
  EXPECT_NE(S(D(copy).main).next, S(D(copy).extra).owner);
  EXPECT_EQ(S(S(D(copy).extra).owner).title, "b");
  EXPECT_EQ(D(copy).sections.GetFlat(1).Object(), b);
  EXPECT_EQ(classes_.Live(), 4 + 5);
}

TEST_F(GraphCopyTest, BackPointersGetTheCopiedAncestorAndWeakOnesGiveTheirObjectWhileItLives) {
  ObjectRef doc = classes_.NewDoc("d");
  ObjectRef a = classes_.NewSection("a", doc);
  ObjectRef b = classes_.NewSection("b", doc);
  S(a).owner = doc;  // counted: a cycle the test breaks itself
  S(a).next = b;
  S(b).prev = a;
  D(doc).sections = Objects(1, {a, b});
  D(doc).main = a;

  ObjectRef copy = engine_.Copy(doc);
  ASSERT_TRUE(copy);
  const ObjectRef ca = D(copy).main;
  ASSERT_TRUE(ca);
  const ObjectRef cb = S(ca).next;
  ASSERT_TRUE(cb);
  EXPECT_NE(ca, a);
  EXPECT_EQ(D(copy).sections, Objects(1, {ca, cb}));
  EXPECT_EQ(S(ca).parent.Lock(), copy);
  EXPECT_EQ(S(cb).parent.Lock(), copy);
  EXPECT_EQ(S(ca).owner, copy);
  EXPECT_EQ(S(cb).prev.Lock(), ca);

  S(ca).owner.Reset();
  S(a).owner.Reset();

  // A weak property gives its object while it lives.
  ObjectRef other = classes_.NewDoc("o");
  {
    const Variant as_object(other);
    InvokeByName(a, "Parent", InvokeKind::PropertyPutRef, {&as_object, 1});
  }
  EXPECT_EQ(InvokeByName(a, "Parent", InvokeKind::PropertyGet).Object(), other);
  EXPECT_TRUE(IsObjectValued(a, "Parent"));

  // Not counted: the document goes with its last reference.
  const std::int64_t before = classes_.Live();
  other.Reset();
  EXPECT_EQ(classes_.Live(), before - 1);
  EXPECT_TRUE(S(a).parent.Expired());
  EXPECT_EQ(InvokeByName(a, "Parent", InvokeKind::PropertyGet), Variant(ObjectRef()));

  // Through the class's type information: an ordinary object property.
  const InterfaceDescription& iface = *a->Class().Interface();
  const MemberDescription* get = iface.Find("Parent", InvokeKind::PropertyGet);
  ASSERT_NE(get, nullptr);
  EXPECT_EQ(get->PropertyType().VarType(), VarType::Dispatch);
  EXPECT_NE(iface.Find("Parent", InvokeKind::PropertyPutRef), nullptr);
  EXPECT_EQ(iface.Find("Parent", InvokeKind::PropertyPut), nullptr);
}

TEST_F(GraphCopyTest, VariantArraysOfAnyShapeCarryCopiedObjects) {
  ObjectRef doc = classes_.NewDoc("d");
  ObjectRef x = classes_.NewSection("x", doc);
  ObjectRef y = classes_.NewSection("y", doc);
  // Two dimensions with negative lower bounds, values beside objects, a
  // nested Variant array, a Nothing: made of the sections given.
  const auto grid_of = [](const ObjectRef& x, const ObjectRef& y) {
    SafeArray grid(VarType::Variant, {ArrayBound{-1, 0}, ArrayBound{-2, 2}});
    grid.SetRef({-1, -2}, x);
    grid.Set({-1, -1}, Variant(42));
    grid.Set({0, 0}, Variant("text"));
    grid.SetRef({0, 2}, y);
    grid.SetRef({0, 1}, ObjectRef{});
    SafeArray inner(VarType::Variant, {ArrayBound{0, 2}});
    inner.SetRef({0}, y);
    inner.Set({1}, Variant(2.5));
    SafeArray innermost(VarType::Dispatch, {ArrayBound{5, 5}});
    innermost.SetRef({5}, x);
    inner.Set({2}, Variant(innermost));
    grid.Set({-1, 2}, Variant(inner));
    return Variant(grid);
  };
  D(doc).items = grid_of(x, y);
  D(doc).main = x;

  ObjectRef copy = engine_.Copy(doc);
  ASSERT_TRUE(copy);
  const ObjectRef cx = D(copy).main;
  ASSERT_TRUE(cx);
  EXPECT_NE(cx, x);
  EXPECT_EQ(S(cx).title, "x");
  EXPECT_EQ(S(cx).parent.Lock(), copy);
  const ObjectRef cy = D(copy).items.Array().Get({0, 2}).Object();
  EXPECT_NE(cy, y);
  EXPECT_EQ(D(copy).items, grid_of(cx, cy));
  // The source keeps its own objects.
  EXPECT_EQ(D(doc).items, grid_of(x, y));
}

TEST_F(GraphCopyTest, EachElementRaisesTheEventAndMayBeCancelled) {
  ObjectRef doc = classes_.NewDoc("d");
  ObjectRef a = classes_.NewSection("a");
  ObjectRef b = classes_.NewSection("b");
  D(doc).sections = Objects(2, {a, b});
  SafeArray grid(VarType::Variant, {ArrayBound{-1, -1}, ArrayBound{1, 2}});
  grid.SetRef({-1, 2}, b);
  SafeArray nested(VarType::Variant, {ArrayBound{0, 1}});
  nested.SetRef({1}, a);
  grid.Set({-1, 1}, Variant(nested));
  D(doc).items = Variant(grid);

  std::vector<std::string> names;
  engine_.handlers.push_back([&](RecursionCheckArgs& e) {
    names.push_back(e.current_object_property);
    EXPECT_EQ(e.root_object, doc);
    if (e.current_object != doc) return;  // the members of a copied section
    EXPECT_EQ(e.parent_object, doc);
    if (e.current_object_property == "Sections(2)" ||
        e.current_object_property == "Items(-1,1)(1)") {
      e.cancel = true;
    }
  });
  ObjectRef copy = engine_.Copy(doc);
  ASSERT_TRUE(copy);
  // b is copied (its members follow its element), then met again.
  EXPECT_EQ(names,
            (std::vector<std::string>{"Sections(2)", "Sections(3)", "Parent", "Owner", "Next",
                                      "Prev", "Items(-1,1)(1)", "Items(-1,2)", "Main", "Extra"}));
  // Cancelled: Nothing in an object array, Empty in a Variant array.
  EXPECT_TRUE(D(copy).sections.Get({2}).Object().IsNull());
  const ObjectRef cb = D(copy).sections.Get({3}).Object();
  EXPECT_EQ(S(cb).title, "b");
  const SafeArray& g = D(copy).items.Array();
  EXPECT_TRUE(g.Get({-1, 1}).Array().Get({1}).IsEmpty());
  EXPECT_EQ(g.Get({-1, 2}).Object(), cb);
}

TEST_F(GraphCopyTest, ExternalObjectsInArraysKeepTheirRules) {
  ObjectRef doc = classes_.NewDoc("d");
  ObjectRef gizmo = classes_.NewGizmo("g");
  ObjectRef own = classes_.NewSection("own");
  D(doc).sections = Objects(0, {own, gizmo});
  SafeArray items(VarType::Variant, {ArrayBound{0, 0}});
  items.SetRef({0}, gizmo);
  D(doc).items = Variant(items);

  // Shared by reference.
  engine_.settings.problems_notification = ProblemsNotificationConstants::SourceObjectOnly;
  engine_.settings.set_external_references = true;
  ObjectRef copy = engine_.Copy(doc);
  ASSERT_TRUE(copy);
  EXPECT_EQ(D(copy).sections.GetFlat(1).Object(), gizmo);
  EXPECT_EQ(D(copy).items.Array().GetFlat(0).Object(), gizmo);
  EXPECT_NE(D(copy).sections.GetFlat(0).Object(), own);

  // Left as the new array holds it.
  engine_.settings.set_external_references = false;
  copy = engine_.Copy(doc);
  ASSERT_TRUE(copy);
  EXPECT_TRUE(D(copy).sections.GetFlat(1).Object().IsNull());
  EXPECT_TRUE(D(copy).items.Array().GetFlat(0).IsEmpty());
  copy.Reset();

  // Reported per element, and the call ends with 601.
  engine_.settings.problems_notification = ProblemsNotificationConstants::OnSubobjectProblem;
  std::vector<std::string> problems;
  engine_.handlers.push_back([&](RecursionCheckArgs& e) {
    if (e.error_status != 0) problems.push_back(e.current_object_property);
  });
  EXPECT_FALSE(engine_.Copy(doc));
  EXPECT_EQ(engine_.Status(), 601);
  EXPECT_EQ(problems, (std::vector<std::string>{"Sections(1)", "Items(0)"}));
}

TEST_F(GraphCopyTest, ArraysAreValuesWithoutRecursionAndTheirObjectsCountAgainstTheLimits) {
  ObjectRef doc = classes_.NewDoc("d");
  ObjectRef a = classes_.NewSection("a");
  ObjectRef b = classes_.NewSection("b");
  D(doc).sections = Objects(0, {a, b, a});
  D(doc).main = a;
  D(doc).items = Variant(a);  // an object held in a Variant is left alone too
  engine_.settings.recursion_allowed = false;
  int events = 0;
  engine_.handlers.push_back([&](RecursionCheckArgs&) { ++events; });
  ObjectRef copy = engine_.Copy(doc);
  ASSERT_TRUE(copy);
  EXPECT_EQ(events, 0);
  EXPECT_FALSE(D(copy).main);
  EXPECT_TRUE(D(copy).items.IsEmpty());
  EXPECT_EQ(D(copy).sections.GetFlat(0).Object(), a);

  engine_.settings.recursion_allowed = true;
  engine_.settings.max_objects = 3;  // the document and its two sections
  copy = engine_.Copy(doc);
  ASSERT_TRUE(copy);
  engine_.settings.max_objects = 2;
  EXPECT_FALSE(engine_.Copy(doc));
  EXPECT_THROW(std::rethrow_exception(engine_.Error()), ProcessingLimitExceeded);
  copy.Reset();
  EXPECT_EQ(classes_.Live(), 3);
}

TEST_F(GraphCopyTest, ALongChainWithWeakLinksBackIsCopiedAndFreed) {
  constexpr int kNodes = 100000;
  ObjectRef doc = classes_.NewDoc("list");
  ObjectRef last;
  for (int i = 0; i < kNodes; ++i) {
    ObjectRef node = classes_.NewSection(std::to_string(i), doc);
    if (last) {
      S(last).next = node;
      S(node).prev = last;
    } else {
      D(doc).main = node;
    }
    last = node;
  }
  D(doc).extra = last;
  last.Reset();
  engine_.settings.raise_recursion_check_event = false;
  ObjectRef copy = engine_.Copy(doc);
  ASSERT_TRUE(copy);
  EXPECT_EQ(classes_.Live(), 2 * (kNodes + 1));
  const ObjectRef& tail = D(copy).extra;
  EXPECT_EQ(S(tail).title, std::to_string(kNodes - 1));
  EXPECT_EQ(S(S(tail).prev.Lock()).next, tail);
  EXPECT_EQ(S(tail).parent.Lock(), copy);
  copy.Reset();
  EXPECT_EQ(classes_.Live(), kNodes + 1);
}

}  // namespace
}  // namespace replikon::testing
