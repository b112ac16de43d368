#include "replikon/control/replikon.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "control/recorded_events.hpp"
#include "test_classes.hpp"
#include "test_support.hpp"

namespace replikon::testing {
namespace {

using test_support::ErrorFrom;
using test_support::ExpectError;

// A bag holding `entries` in order.
PropertyBag BagFrom(const test_support::Entries& entries) {
  PropertyBag bag;
  bag.SetContents(test_support::BagOf(entries));
  return bag;
}

class ReplikonControlTest : public ::testing::Test {
 protected:
  TestClasses classes_;
  std::shared_ptr<RecordingContainer> container_ = std::make_shared<RecordingContainer>();
  Replikon control_{container_, classes_.Registry()};
};

TEST_F(ReplikonControlTest, NewComponentHasDefaultsAndItsFace) {
  EXPECT_EQ(Settings(control_), kDefaults);
  EXPECT_EQ(container_->colors, std::vector<std::uint32_t>{0x00E1FFFFu});
  control_.OnResize();
  EXPECT_EQ(container_->sizes, (std::vector<std::pair<std::int32_t, std::int32_t>>{{480, 480}}));
  EXPECT_FALSE(control_.RootObject());
  Replikon without_container;  // no container: nothing to tell
  without_container.OnResize();
  without_container.SetRecursionAllowed(false);
}

TEST_F(ReplikonControlTest, AssignmentsTellTheContainerAndSavingLeavesOutDefaults) {
  PropertyBag bag;
  control_.WriteProperties(bag);
  EXPECT_EQ(bag.Size(), 0u);
  // Every setting away from its default.
  control_.SetRecursionAllowed(false);
  control_.SetRaiseRecursionCheckEvent(false);
  control_.SetObjectServerName("  Lib \t ");  // only spaces are trimmed
  control_.SetProblemsNotification(0);
  control_.SetSetExternalReferences(true);
  control_.SetMaxObjects(1000);
  control_.SetMaxDepth(20);
  control_.SetPreserveIdentity(true);
  EXPECT_EQ(
      container_->changed,
      (std::vector<std::string>{"RecursionAllowed", "RaiseRecursionCheckEvent", "ObjectServerName",
                                "ProblemsNotification", "SetExternalReferences", "MaxObjects",
                                "MaxDepth", "PreserveIdentity"}));
  control_.WriteProperties(bag);
  EXPECT_EQ(bag.Entries(), (test_support::Entries{
                               {"RecursionAllowed", Variant(false)},
                               {"RaiseRecursionCheckEvent", Variant(false)},
                               {"ObjectServerName", Variant("Lib \t")},
                               {"ProblemsNotification", Variant(std::int16_t{0})},
                               {"SetExternalReferences", Variant(true)},
                               {"MaxObjects", Variant(std::int32_t{1000})},
                               {"MaxDepth", Variant(std::int32_t{20})},
                               {"PreserveIdentity", Variant(true)},
                           }));
  Replikon loaded(container_, classes_.Registry());
  loaded.ReadProperties(bag);
  EXPECT_EQ(Settings(loaded), SettingValues(false, false, "Lib \t", 0, true, 1000, 20, true));

  // Back to a default: the entry goes, and an absent key loads the default.
  control_.SetProblemsNotification(1);
  control_.SetMaxObjects(0);
  control_.SetMaxDepth(0);
  control_.SetPreserveIdentity(false);
  control_.WriteProperties(bag);
  EXPECT_EQ(bag.Size(), 4u);
  EXPECT_FALSE(bag.Contains("ProblemsNotification"));
  loaded.ReadProperties(bag);
  EXPECT_EQ(Settings(loaded), Settings(control_));
  loaded.SetMaxDepth(7);
  loaded.SetPreserveIdentity(true);
  loaded.InitProperties();
  EXPECT_EQ(Settings(loaded), kDefaults);
  control_.SetObjectServerName("    ");
  EXPECT_EQ(control_.ObjectServerName(), "");
}

// Loading converts each value but neither trims, range-checks nor tells the
// container; it stops at the first value that does not convert.
TEST_F(ReplikonControlTest, LoadingConvertsAndStopsAtAValueThatDoesNot) {
  control_.ReadProperties(BagFrom({{"RecursionAllowed", Variant("False")},
                                   {"RaiseRecursionCheckEvent", Variant(std::int32_t{0})},
                                   {"ObjectServerName", Variant(std::int32_t{42})},
                                   {"ProblemsNotification", Variant(std::int32_t{5})},
                                   {"SetExternalReferences", Variant(std::int16_t{-1})}}));
  EXPECT_EQ(Settings(control_), SettingValues(false, false, "42", 5, true, 0, 0, false));

  // Absent keys give the defaults back.
  control_.ReadProperties(BagFrom({{"ObjectServerName", Variant("  Lib  ")}}));
  EXPECT_EQ(Settings(control_), SettingValues(true, true, "  Lib  ", 1, false, 0, 0, false));
  control_.InitProperties();
  EXPECT_EQ(Settings(control_), kDefaults);
  EXPECT_TRUE(container_->changed.empty());

  control_.SetObjectServerName("Before");
  const PropertyBag bad = BagFrom({{"RecursionAllowed", Variant(false)},
                                   {"RaiseRecursionCheckEvent", Variant("maybe")},
                                   {"ObjectServerName", Variant("After")}});
  EXPECT_EQ(ErrorFrom([&] { control_.ReadProperties(bad); }).Number(), errors::kTypeMismatch);
  EXPECT_FALSE(control_.RecursionAllowed());         // read before the bad value
  EXPECT_EQ(control_.ObjectServerName(), "Before");  // never reached
  EXPECT_THROW(
      control_.ReadProperties(BagFrom({{"ProblemsNotification", Variant(std::int32_t{70000})}})),
      AutomationError);
}

TEST_F(ReplikonControlTest, HandlersRunInOrderChainCancelAndMayChangeTheList) {
  std::vector<std::string> calls;
  control_.AddRecursionCheckHandler([&](RecursionCheckArgs& a) {
    calls.push_back("first:" + std::to_string(a.cancel));
    a.cancel = true;
  });
  const auto second = control_.AddRecursionCheckHandler(
      [&](RecursionCheckArgs& a) { calls.push_back("second:" + std::to_string(a.cancel)); });
  control_.AddRecursionCheckHandler([&](RecursionCheckArgs& a) {
    calls.push_back("third:" + std::to_string(a.cancel));
    a.cancel = false;  // the last word counts: Slot is copied (to Nothing)
  });
  control_.SetObjectServerName("Lib");
  ObjectRef box = classes_.Registry().CreateByProgId("Lib.Box");
  box.As<Box>()->slot.Reset();
  ObjectRef copy = control_.Copy(box);
  EXPECT_EQ(calls, (std::vector<std::string>{"first:0", "second:1", "third:1"}));
  EXPECT_FALSE(copy.As<Box>()->slot);

  EXPECT_TRUE(control_.RemoveRecursionCheckHandler(second));
  EXPECT_FALSE(control_.RemoveRecursionCheckHandler(second));
  calls.clear();
  control_.Copy(box);
  EXPECT_EQ(calls, (std::vector<std::string>{"first:0", "third:1"}));

  // A handler may change the list while the event runs.
  int runs = 0;
  Replikon::HandlerId self = 0;
  std::vector<Replikon::HandlerId> added;
  self = control_.AddRecursionCheckHandler([&](RecursionCheckArgs&) {
    ++runs;
    EXPECT_TRUE(control_.RemoveRecursionCheckHandler(self));  // removes itself while running
    added.push_back(control_.AddRecursionCheckHandler([&](RecursionCheckArgs&) { runs += 10; }));
  });
  ObjectRef root = classes_.NewNode("root");
  N(root).child = classes_.NewNode("kid");
  control_.Copy(root);
  // Four events (root.Child, kid.Child, kid.Next, root.Next): the first runs
  // only the first handler, the other three only the one it added.
  EXPECT_EQ(added.size(), 1u);
  EXPECT_EQ(runs, 31);
}

TEST_F(ReplikonControlTest, RootOfAnotherServerIsARootProblem) {
  control_.SetObjectServerName("Lib");
  control_.SetRaiseRecursionCheckEvent(false);  // raised whatever the settings say
  control_.SetProblemsNotification(0);
  control_.SetRecursionAllowed(false);
  ObjectRef gadget = classes_.NewGadget("g");
  auto seen = Record(control_);
  control_.AddRecursionCheckHandler([](RecursionCheckArgs& a) { a.cancel = false; });
  for (const bool copy : {true, false}) {
    ExpectError(ErrorFrom([&] {
                  copy ? (void)control_.Copy(gadget) : (void)control_.StreamFromObject(gadget);
                }),
                601, "Problem(s) in processing occurred", "replictl.hlp", 1601);
    ASSERT_EQ(seen->size(), 1u);
    const Seen& s = (*seen)[0];
    EXPECT_TRUE(s.root == gadget && s.parent == gadget && s.current == gadget);
    EXPECT_EQ(s.property, "");
    EXPECT_TRUE(s.cancel_on_entry);
    EXPECT_EQ(s.error_status, 601);
    seen->clear();
    EXPECT_FALSE(control_.RootObject());
  }
  EXPECT_EQ(gadget.UseCount(), 1);
}

// Bytes that are no Stream give 602 before the server name is looked at; a
// blank name, set or loaded, gives 600 before the source is.
TEST_F(ReplikonControlTest, ProcessingCallsCheckTheBytesThenTheServerName) {
  ExpectError(ErrorFrom([&] {
                control_.ObjectFromStream(SafeArray::FromBytes(std::vector<std::uint8_t>{1, 2, 3}));
              }),
              602, "Byte array is not a Stream", "replictl.hlp", 1602);
  EXPECT_THROW(control_.StreamFromObject(ObjectRef{}), AutomationError);  // 600
  for (const char* blank : {"", "   "}) {
    control_.SetObjectServerName(blank);
    for (const ObjectRef& source : {ObjectRef{}, classes_.NewNode("x")}) {
      ExpectError(ErrorFrom([&] { control_.Copy(source); }), 600,
                  "ObjectServerName is not specified", "replictl.hlp", 1600);
    }
  }
  control_.ReadProperties(BagFrom({{"ObjectServerName", Variant("  ")}}));
  EXPECT_THROW(control_.Copy(classes_.NewNode("x")), AutomationError);

  // Nothing round-trips as Nothing, and copying it raises no event.
  control_.SetObjectServerName("Lib");
  auto seen = Record(control_);
  EXPECT_FALSE(control_.ObjectFromStream(control_.StreamFromObject(ObjectRef{})));
  EXPECT_FALSE(control_.Copy(ObjectRef{}));
  EXPECT_TRUE(seen->empty());
}

}  // namespace
}  // namespace replikon::testing
