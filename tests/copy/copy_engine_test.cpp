#include "copy/copy_engine.hpp"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "copy/engine_copier.hpp"
#include "test_classes.hpp"

namespace replikon::testing {
namespace {

// The fields of an event, to compare as one.
auto Tie(const Seen& s) {
  return std::tie(s.root, s.parent, s.current, s.property, s.cancel_on_entry, s.error_status);
}

class CopyEngineTest : public ::testing::Test {
 protected:
  CopyEngineTest() { engine_.settings.object_server_name = "Lib"; }

  void TearDown() override {
    // Every test drops all it made (and breaks the cycles it built).
    EXPECT_EQ(classes_.LiveNodes(), 0);
    EXPECT_EQ(classes_.Live("Lib.Box"), 0);
    EXPECT_EQ(classes_.Live("Lib.Leaf"), 0);
    EXPECT_EQ(classes_.Live("Ext.Gadget"), 0);
  }

  ObjectRef Copy(const ObjectRef& source) { return engine_.Copy(source); }

  TestClasses classes_;
  EngineCopier engine_{classes_.Registry()};
};

TEST_F(CopyEngineTest, ValuePropertiesAreReadTwiceAndLetAsTheirAssignmentsAllow) {
  ObjectRef src = classes_.NewNode("alpha", 7);
  N(src).items = SafeArray(VarType::I4, {ArrayBound{1, 3}});
  N(src).items.Set({2}, Variant(99));
  N(src).data = Variant("text");
  ObjectRef copy = Copy(src);
  ASSERT_TRUE(copy);
  EXPECT_NE(copy, src);
  EXPECT_EQ(N(copy).name, "alpha");
  EXPECT_EQ(N(copy).value, 7);
  EXPECT_EQ(N(copy).items, N(src).items);
  EXPECT_EQ(N(copy).data, Variant("text"));
  EXPECT_NE(N(copy).id, N(src).id);  // read-only: as the class initialised it
  EXPECT_EQ(N(src).name_reads, 2);
  // Never visited: the hidden "_Default", a method, let-only members.
  EXPECT_EQ(N(src).default_reads, 0);
  EXPECT_EQ(N(copy).default_writes, 0);
  EXPECT_EQ(N(src).method_calls + N(copy).method_calls, 0);

  // A copied array is the copy's own: changing it leaves the source alone.
  N(copy).items.Set({2}, Variant(8));
  EXPECT_EQ(N(src).items.Get({2}), Variant(99));

  // An array of another type than the property declares is refused by its
  // let: the copy keeps the array its class gave it.
  N(src).items = SafeArray(VarType::BStr, {ArrayBound{0, 0}});
  copy = Copy(src);
  ASSERT_TRUE(copy);
  EXPECT_EQ(N(copy).items, SafeArray(VarType::I4));
  EXPECT_EQ(N(copy).value, 7);
}

// Data is a Variant: holding an object, it is copied as a subobject (holding
// a value, as in the case above, it is let).
TEST_F(CopyEngineTest, SubobjectsAreFilledBeforeTheyAreAssignedAlsoFromAVariant) {
  ObjectRef root = classes_.NewNode("root");
  N(root).child = classes_.NewNode("kid", 1);
  N(N(root).child).child = classes_.NewNode("grandkid", 2);
  N(root).data = Variant(classes_.NewNode("inner", 5));
  ObjectRef copy = Copy(root);
  const ObjectRef& kid = N(copy).child;
  ASSERT_TRUE(kid);
  EXPECT_NE(kid, N(root).child);
  EXPECT_EQ(N(copy).child_name_when_set, "kid");
  EXPECT_EQ(N(kid).child_name_when_set, "grandkid");
  EXPECT_EQ(N(N(kid).child).value, 2);
  const ObjectRef& inner = N(copy).data.Object();
  EXPECT_NE(inner, N(root).data.Object());
  EXPECT_EQ(N(inner).name, "inner");
  EXPECT_EQ(N(inner).value, 5);
  EXPECT_EQ(classes_.LiveNodes(), 8);
}

TEST_F(CopyEngineTest, EventsFollowTheWalkWithTheirArguments) {
  ObjectRef root = classes_.NewNode("root");
  ObjectRef a = classes_.NewNode("a");
  N(root).child = a;
  auto seen = engine_.Record();
  ObjectRef copy = Copy(root);
  const std::vector<Seen> want{{root, root, root, "Child", false, 0},
                               {root, root, a, "Child", false, 0},
                               {root, root, a, "Next", false, 0},
                               {root, root, root, "Next", false, 0}};
  ASSERT_EQ(seen->size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) EXPECT_EQ(Tie((*seen)[i]), Tie(want[i])) << i;
  seen->clear();
}

TEST_F(CopyEngineTest, NullCancelAndRecursionAllowedOnAnObjectProperty) {
  ObjectRef box = classes_.Registry().CreateByProgId("Lib.Box");
  box.As<Box>()->slot.Reset();
  auto seen = engine_.Record();

  // A null subobject: the event first, then the copy's Slot is set to Nothing.
  ObjectRef copy = Copy(box);
  EXPECT_FALSE(copy.As<Box>()->slot);
  ASSERT_EQ(seen->size(), 1u);
  EXPECT_EQ((*seen)[0].property, "Slot");
  EXPECT_EQ(copy.As<Box>()->broken, 7);  // its getter fails: left alone, walk goes on

  // Cancelled: Slot keeps what the class gave it.
  engine_.handlers.push_back([](RecursionCheckArgs& a) { a.cancel = true; });
  copy = Copy(box);
  ASSERT_TRUE(copy.As<Box>()->slot);
  EXPECT_EQ(copy.As<Box>()->slot.As<Leaf>()->tag, "fresh");
  engine_.handlers.pop_back();

  // RecursionAllowed false: no event, and no object property touched.
  seen->clear();
  engine_.settings.recursion_allowed = false;
  box.As<Box>()->slot = classes_.Registry().CreateByProgId("Lib.Leaf");
  box.As<Box>()->slot.As<Leaf>()->tag = "source";
  copy = Copy(box);
  EXPECT_TRUE(seen->empty());
  EXPECT_EQ(copy.As<Box>()->slot.As<Leaf>()->tag, "fresh");
}

TEST_F(CopyEngineTest, ExternalSubobjectsBySettings) {
  for (bool share : {false, true}) {
    for (std::int32_t notify : {0, 1}) {
      SCOPED_TRACE(::testing::Message() << "share=" << share << " notify=" << notify);
      ObjectRef gadget = classes_.NewGadget("g");
      ObjectRef src = classes_.NewNode("src");
      N(src).child = gadget;
      N(src).next = classes_.NewNode("after");
      engine_.settings.set_external_references = share;
      engine_.settings.problems_notification = static_cast<ProblemsNotificationConstants>(notify);
      engine_.settings.raise_recursion_check_event = false;  // the problem event comes anyway
      engine_.handlers.clear();
      auto seen = engine_.Record();
      // Cancel left false changes nothing.
      engine_.handlers.push_back([](RecursionCheckArgs& a) { a.cancel = false; });

      ObjectRef copy;
      if (notify == 1) {
        EXPECT_FALSE(Copy(src));
        EXPECT_EQ(engine_.Status(), 601);
        ASSERT_EQ(seen->size(), 1u);
        EXPECT_EQ(Tie((*seen)[0]), Tie(Seen{src, src, src, "Child", true, 601}));
        EXPECT_EQ(classes_.LiveNodes(), 2);  // the copy was made, then withheld

        // The engine's own result: the whole copy, the reference as the setting says.
        EngineContext ctx(engine_.settings, classes_.Registry());
        copy = classes_.Registry().CreateByProgId("Lib.Node");
        std::int32_t status = 0;
        CopyProperties(ctx, src, copy, src, status);
        EXPECT_EQ(status, 601);
      } else {
        copy = Copy(src);
        EXPECT_TRUE(seen->empty());
      }
      EXPECT_EQ(N(copy).child, share ? gadget : ObjectRef{});
      EXPECT_EQ(N(N(copy).next).name, "after");
      seen->clear();
    }
  }
}

TEST_F(CopyEngineTest, CyclesPointToTheCopiesOnThePath) {
  // The object itself.
  ObjectRef self = classes_.NewNode("self");
  N(self).child = self;
  ObjectRef copy = Copy(self);
  EXPECT_EQ(N(copy).child, copy);
  N(self).child.Reset();
  N(copy).child.Reset();
  self.Reset();

  // A back-pointer to the parent, and a longer loop a -> b -> c -> a.
  ObjectRef a = classes_.NewNode("a");
  ObjectRef b = classes_.NewNode("b");
  ObjectRef c = classes_.NewNode("c");
  N(a).child = b;
  N(b).next = a;
  N(b).child = c;
  N(c).child = a;
  auto seen = engine_.Record();
  copy = Copy(a);
  const ObjectRef& b2 = N(copy).child;
  EXPECT_EQ(N(b2).next, copy);
  EXPECT_EQ(N(N(b2).child).child, copy);
  EXPECT_EQ(N(N(b2).child).name, "c");
  EXPECT_EQ(classes_.LiveNodes(), 6);
  // The event comes for the back-pointer too.
  bool back_pointer_event = false;
  for (const Seen& s : *seen) back_pointer_event |= (s.current == b && s.property == "Next");
  EXPECT_TRUE(back_pointer_event);
  seen->clear();
  N(N(b2).child).child.Reset();
  N(b2).next.Reset();

  // Cancel still wins over the cycle.
  engine_.handlers.push_back([&](RecursionCheckArgs& e) {
    if (e.current_object == b && e.current_object_property == "Next") e.cancel = true;
  });
  copy = Copy(a);
  EXPECT_FALSE(N(N(copy).child).next);
  N(N(N(copy).child).child).child.Reset();
  N(b).next.Reset();
  N(c).child.Reset();
  seen->clear();
}

TEST_F(CopyEngineTest, SourceWithAnInterfaceOfItsOwnIsCopiedByNameAndPropertiesAreProbedByName) {
  // A "Node" made outside the server, whose interface lists other members in
  // another order: the copy is a server Node, assigned property by property.
  const auto foreign = ClassBuilder<Node>("Node")
                           .Property("Next", &Node::next)
                           .Property("Value", &Node::value)
                           .Property("Data", &Node::data)
                           .BuildInfo();
  ObjectRef src = MakeObject<Node>(foreign);
  N(src).value = 11;
  N(src).name = "not listed";
  N(src).data = Variant(std::int16_t{3});
  ObjectRef next = MakeObject<Node>(foreign);
  N(next).value = 12;
  N(src).next = next;
  ObjectRef copy = Copy(src);
  EXPECT_EQ(&copy->Class(), classes_.Registry().FindClass("Lib.Node").get());
  EXPECT_EQ(N(copy).value, 11);
  EXPECT_EQ(N(copy).name, "");
  EXPECT_EQ(N(copy).data, Variant(std::int16_t{3}));
  EXPECT_EQ(N(N(copy).next).value, 12);

  // Properties read and set by name, on their current value.
  ObjectRef node = classes_.NewNode("n");
  EXPECT_TRUE(IsObjectValued(node, "Child"));  // a null reference counts
  EXPECT_FALSE(IsObjectValued(node, "Name"));
  EXPECT_FALSE(IsObjectValued(node, "Indexed"));  // needs an argument
  EXPECT_FALSE(IsObjectValued(node, "Missing"));
  EXPECT_FALSE(IsObjectValued(ObjectRef{}, "Child"));
  N(node).data = Variant(classes_.NewNode("d"));
  EXPECT_TRUE(IsObjectValued(node, "Data"));

  EXPECT_TRUE(SetPropertyByName(node, "Value", Variant(5), InvokeKind::PropertyPut));
  EXPECT_EQ(N(node).value, 5);
  EXPECT_FALSE(SetPropertyByName(node, "Id", Variant(5), InvokeKind::PropertyPut));
  EXPECT_FALSE(SetPropertyByName(node, "Value", Variant("x"), InvokeKind::PropertyPut));
  EXPECT_FALSE(SetPropertyByName(node, "Child", Variant(1), InvokeKind::PropertyPutRef));
  EXPECT_TRUE(SetPropertyByName(node, "Anything", Variant(), InvokeKind::PropertyGet));
}

}  // namespace
}  // namespace replikon::testing
