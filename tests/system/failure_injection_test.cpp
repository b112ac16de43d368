// Client classes that misbehave: accessors that raise (automation errors and
// other exceptions), a getter that answers with another type on each call,
// values the property bag refuses, a class whose termination fails, and
// RecursionCheck handlers that throw or call the component again. Every call
// ends with the result the engines promise, and no instance is left alive
// after any test.
#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <tuple>

#include "automation/bag_codec.hpp"
#include "replikon/control/replikon.hpp"
#include "replikon/server.hpp"
#include "replikon/stream/stream_layout.hpp"
#include "test_support.hpp"

namespace replikon {
namespace {

using test_support::ErrorFrom;

struct Widget {
  std::int32_t good = 0;
  std::int32_t bad_get = 0;  // its get raises
  std::int32_t bad_let = 5;  // its let raises
  std::int32_t object_then_number_reads = 0;
  std::int32_t number_then_object_reads = 0;
  Variant shifty_assigned;  // what a let or set of the two shifting properties got
  Variant refused;          // a value the bag cannot hold (all of it, or some elements)
  ObjectRef child;
  ObjectRef stubborn;  // its set raises
};
struct Grumpy {
  std::string tag;
};
struct Plain {};

struct HandlerFault : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class FailureInjection : public ::testing::Test {
 protected:
  FailureInjection() : server_("Faulty") {
    ClassRegistry* reg = &registry_;
    const auto plain = [reg] { return reg->CreateByProgId("Faulty.Plain"); };
    server_.Class<Widget>("Widget")
        .Property("Good", &Widget::good)
        .Get("BadGet", VarType::I4,
             [](Widget&) -> std::int32_t { throw AutomationError(1001, "get fails"); })
        .Let("BadGet", VarType::I4, [](Widget& w, const Variant& v) { w.bad_get = ToI4(v); })
        .Get("BadLet", VarType::I4, [](Widget& w) { return w.bad_let; })
        .Let("BadLet", VarType::I4,
             [](Widget&, const Variant&) { throw AutomationError(1002, "let fails"); })
        .Get("Foreign", VarType::I4, [](Widget&) -> std::int32_t { throw std::logic_error("x"); })
        .Let("Foreign", VarType::I4, [](Widget&, const Variant&) { throw 7; })
        .Get("ObjectThenNumber", VarType::Variant,
             [plain](Widget& w) {
               return ++w.object_then_number_reads % 2 == 1 ? Variant(plain())
                                                            : Variant(w.object_then_number_reads);
             })
        .Let("ObjectThenNumber", VarType::Variant,
             [](Widget& w, const Variant& v) { w.shifty_assigned = v; })
        .Set("ObjectThenNumber",
             [](Widget& w, const ObjectRef& o) { w.shifty_assigned = Variant(o); })
        .Get("NumberThenObject", VarType::Variant,
             [plain](Widget& w) {
               return ++w.number_then_object_reads % 2 == 0 ? Variant(plain())
                                                            : Variant(w.number_then_object_reads);
             })
        .Let("NumberThenObject", VarType::Variant,
             [](Widget& w, const Variant& v) { w.shifty_assigned = v; })
        .Property("Refused", &Widget::refused)
        .Property("Child", &Widget::child)
        .Get("Stubborn", VarType::Dispatch, [](Widget& w) { return w.stubborn; })
        .Set("Stubborn",
             [](Widget&, const ObjectRef&) { throw AutomationError(1003, "set fails"); });
    server_.Class<Grumpy>("Grumpy").Property("Tag", &Grumpy::tag).OnTerminate([](Grumpy&) {
      throw AutomationError(1004, "cannot stop");
    });
    server_.Class<Plain>("Plain");
    registry_.Register(server_);
    control_.SetObjectServerName("Faulty");
  }

  void TearDown() override {
    for (const char* prog_id : {"Faulty.Widget", "Faulty.Grumpy", "Faulty.Plain"}) {
      EXPECT_EQ(registry_.LiveInstances(prog_id), 0) << prog_id << " instances left alive";
    }
  }

  ObjectRef New(const char* class_name) {
    return registry_.CreateByProgId(std::string("Faulty.") + class_name);
  }
  static Widget& W(const ObjectRef& o) { return *o.As<Widget>(); }

  // A Widget whose properties all hold something: Refused a Variant array with
  // an object in it, Child and Stubborn Widgets of their own.
  ObjectRef Source() {
    ObjectRef w = New("Widget");
    W(w).good = 1;
    W(w).bad_get = 2;
    W(w).bad_let = 9;
    SafeArray mixed(VarType::Variant, {{0, 1}});
    mixed.SetFlatRef(0, New("Plain"));
    mixed.SetFlat(1, Variant(3));
    W(w).refused = Variant(std::move(mixed));
    W(w).child = New("Widget");
    W(W(w).child).good = 2;
    W(w).stubborn = New("Widget");
    return w;
  }

  ClassRegistry registry_;
  Server server_;
  Replikon control_{nullptr, registry_};
};

TEST_F(FailureInjection, CopyPassesOverWhatFails) {
  ObjectRef source = Source();
  ObjectRef copy = control_.Copy(source);
  ASSERT_TRUE(copy);
  // BadGet could not be read, BadLet could not be assigned.
  EXPECT_EQ(std::tie(W(copy).good, W(copy).bad_get, W(copy).bad_let), std::tuple(1, 0, 5));
  // Object on the first read, a number on the second: nothing to copy. A
  // number first, then an object: a value whose let fails (an object without
  // a default value cannot be assigned by value).
  EXPECT_TRUE(W(copy).shifty_assigned.IsEmpty());
  ASSERT_TRUE(W(copy).refused.IsArray());
  // A Variant array is a value: the copy holds the same elements.
  EXPECT_TRUE(W(copy).refused.Array().GetFlat(0).IsObject());
  ASSERT_TRUE(W(copy).child);
  EXPECT_NE(W(copy).child, W(source).child);
  EXPECT_EQ(W(W(copy).child).good, 2);
  EXPECT_TRUE(W(copy).stubborn.IsNull());  // its set raised; the copy made for it is gone
}

TEST_F(FailureInjection, WriterLeavesOutWhatFailsOrTheBagRefuses) {
  ObjectRef source = Source();
  ObjectRef with_decimal = New("Widget");
  W(with_decimal).refused = Variant(Decimal{0, 1, 29, false});  // a scale the bag cannot hold
  W(source).child = with_decimal;

  const SafeArray stream = control_.StreamFromObject(source);
  const BagReader bag(stream.ByteSpan());
  EXPECT_EQ(bag.ReadProperty("Good"), Variant(1));
  EXPECT_EQ(bag.ReadProperty("BadLet"), Variant(9));
  // NumberThenObject: an object the bag refuses.
  for (const char* key : {"BadGet", "Foreign", "ObjectThenNumber", "NumberThenObject"}) {
    EXPECT_EQ(bag.Find(key), nullptr) << key;
  }
  // An array with an object element: the element has no entry.
  const BagReader elements(*BagReader(bag.ReadBytes("Refused").value()).ReadBytes(kElementsKey));
  EXPECT_EQ(elements.Find("0"), nullptr);
  EXPECT_EQ(elements.ReadProperty("1"), Variant(3));
  const BagReader child(*bag.ReadBytes("Child"));
  EXPECT_EQ(child.Find("Refused"), nullptr);
  EXPECT_NE(bag.Find("Stubborn"), nullptr);  // its get works

  // Read back: each let that raises or refuses leaves the class's value, and
  // none of it is a problem.
  ObjectRef back = control_.ObjectFromStream(stream);
  ASSERT_TRUE(back);
  EXPECT_EQ(std::tie(W(back).good, W(back).bad_let), std::tuple(1, 5));
  ASSERT_TRUE(W(back).refused.IsArray());
  EXPECT_TRUE(W(back).refused.Array().GetFlat(0).IsEmpty());
  EXPECT_EQ(W(back).refused.Array().GetFlat(1), Variant(3));
  ASSERT_TRUE(W(back).child);
  EXPECT_TRUE(W(W(back).child).refused.IsEmpty());
  EXPECT_TRUE(W(back).stubborn.IsNull());  // its set raised
}

// Termination that raises: the probes and the copies made along the way are
// released all the same.
TEST_F(FailureInjection, ClassWhoseTerminationFails) {
  ObjectRef grumpy = New("Grumpy");
  grumpy.As<Grumpy>()->tag = "g";
  ObjectRef holder = New("Widget");
  W(holder).child = grumpy;
  ObjectRef copy = control_.Copy(holder);
  EXPECT_EQ(W(copy).child.As<Grumpy>()->tag, "g");
  const SafeArray stream = control_.StreamFromObject(holder);
  ObjectRef back = control_.ObjectFromStream(stream);
  EXPECT_EQ(W(back).child.As<Grumpy>()->tag, "g");
}

TEST_F(FailureInjection, ThrowingHandlerEndsEachCallAndOneThatCallsTheComponentAgainMay) {
  ObjectRef source = Source();
  const SafeArray stream = control_.StreamFromObject(source);
  const auto id = control_.AddRecursionCheckHandler([](RecursionCheckArgs& e) {
    if (e.current_object_property == "Child") throw HandlerFault("stop");
  });
  const auto expect_fault = [&](auto call) {
    try {
      call();
      ADD_FAILURE() << "the handler's exception must reach the caller";
    } catch (const HandlerFault& e) {
      EXPECT_STREQ(e.what(), "stop");
    }
    EXPECT_TRUE(control_.RootObject().IsNull());
  };
  expect_fault([&] { (void)control_.Copy(source); });
  expect_fault([&] { (void)control_.StreamFromObject(source); });
  expect_fault([&] { (void)control_.ObjectFromStream(stream); });
  EXPECT_EQ(registry_.LiveInstances("Faulty.Widget"), 3);  // only the source's

  control_.RemoveRecursionCheckHandler(id);
  // A handler's AutomationError reaches the caller unchanged.
  const auto automation = control_.AddRecursionCheckHandler(
      [](RecursionCheckArgs&) { throw AutomationError(1234, "client", "c.hlp", 9); });
  test_support::ExpectError(ErrorFrom([&] { control_.Copy(source); }), 1234, "client", "c.hlp", 9);
  control_.RemoveRecursionCheckHandler(automation);

  // A handler that calls the component again: the component works on, within
  // its own call as after it.
  int nested_calls = 0;
  bool inside = false;
  bool roots_agree = true;  // each event's root is the root of the call it comes from
  control_.AddRecursionCheckHandler([&](RecursionCheckArgs& e) {
    roots_agree = roots_agree && e.root_object == control_.RootObject();
    if (inside || e.current_object_property != "Child" || e.error_status != 0 ||
        e.current_object != control_.RootObject()) {
      return;
    }
    inside = true;
    const ObjectRef root = control_.RootObject();
    // The object whose property is being processed: copied, streamed and read
    // back by the same component in the middle of its own call.
    ObjectRef copy = control_.Copy(e.current_object);
    ObjectRef back = control_.ObjectFromStream(control_.StreamFromObject(e.current_object));
    if (copy && back && W(copy).good == W(e.current_object).good) ++nested_calls;
    EXPECT_EQ(control_.RootObject(), root);  // the outer call's root again
    inside = false;
  });
  ObjectRef copy = control_.Copy(source);
  ObjectRef back = control_.ObjectFromStream(control_.StreamFromObject(source));
  EXPECT_EQ(nested_calls, 3);  // once in Copy, once in each Stream call
  EXPECT_TRUE(roots_agree);
  EXPECT_EQ(W(W(copy).child).good, 2);
  EXPECT_EQ(W(W(back).child).good, 2);
  EXPECT_TRUE(control_.RootObject().IsNull());
}

TEST_F(FailureInjection, HandlerThatChangesTheGraphOrTheSettingsMidWalk) {
  // The handler drops the subobjects of the object being walked: what the
  // walk has read already stays alive until it is done with it.
  const auto drop = control_.AddRecursionCheckHandler([](RecursionCheckArgs& e) {
    if (Widget* w = e.current_object.As<Widget>()) {
      w->child.Reset();
      w->stubborn.Reset();
    }
  });
  ObjectRef copy = control_.Copy(Source());
  ASSERT_TRUE(W(copy).child);
  EXPECT_EQ(W(W(copy).child).good, 2);     // read before it was dropped
  EXPECT_TRUE(W(copy).stubborn.IsNull());  // dropped before it was read
  const SafeArray written = control_.StreamFromObject(Source());
  const BagReader bag(written.ByteSpan());
  EXPECT_EQ(BagReader(*bag.ReadBytes("Child")).ReadProperty("Good"), Variant(2));
  EXPECT_TRUE(StreamHoldsNothing(*bag.ReadBytes("Stubborn")));
  // Reading, the handler drops what the new object holds so far: Child, set
  // before the event of Stubborn.
  ObjectRef back = control_.ObjectFromStream(written);
  ASSERT_TRUE(back);
  EXPECT_TRUE(W(back).child.IsNull());
  control_.RemoveRecursionCheckHandler(drop);

  // The handler names another server at the first event: every class made
  // after it is external, and each call ends with 601.
  ObjectRef source = Source();
  const SafeArray stream = control_.StreamFromObject(source);
  control_.AddRecursionCheckHandler(
      [this](RecursionCheckArgs&) { control_.SetObjectServerName("Elsewhere"); });
  const auto expect_601 = [&](auto call) {
    control_.SetObjectServerName("Faulty");
    EXPECT_EQ(ErrorFrom(call).Number(), 601);  // classes made after the change cannot be created
  };
  expect_601([&] { (void)control_.Copy(source); });
  expect_601([&] { (void)control_.StreamFromObject(source); });
  expect_601([&] { (void)control_.ObjectFromStream(stream); });
}

}  // namespace
}  // namespace replikon
