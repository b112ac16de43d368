// What keeps a processing call within bounds whatever it is given: class
// names from a Stream that are no names, handlers that call the component
// again and again, and graphs beyond the limits a client sets.
#include <gtest/gtest.h>
#include <pthread.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "replikon/control/replikon.hpp"
#include "replikon/server.hpp"
#include "test_support.hpp"

namespace replikon {
namespace {

using test_support::BytesValue;
using test_support::ErrorFrom;
using test_support::ObjectStream;

struct Link {
  std::int32_t value = 0;
  ObjectRef next;
};

struct Boom {};

// Server "RT" with a chain class and one whose instances report the name "Evil.Boom"; server
// "RT.Evil" with a class "Boom", which "RT" + "." + "Evil.Boom" would name.
class ProcessingGuards : public ::testing::Test {
 protected:
  ProcessingGuards() : rt_("RT"), evil_("RT.Evil") {
    rt_.Class<Link>("Link").Property("Value", &Link::value).Property("Next", &Link::next);
    rt_.Class<Link>("Mask").Property("Value", &Link::value).ReportsClassName("Evil.Boom");
    auto booms = booms_;
    evil_.Class<Boom>("Boom").OnInitialize([booms](Boom&) { ++*booms; });
    registry_.Register(rt_);
    registry_.Register(evil_);
    control_.SetObjectServerName("RT");
  }

  // A chain of `length` Links, values 1, 2, ...
  ObjectRef Chain(int length) {
    ObjectRef head;
    for (int i = length; i > 0; --i) {
      ObjectRef link = registry_.CreateByProgId("RT.Link");
      link.As<Link>()->value = i;
      link.As<Link>()->next = std::move(head);
      head = std::move(link);
    }
    return head;
  }

  // Processing call `call` (0: Copy, 1: StreamFromObject, 2: ObjectFromStream)
  // of `chain`, or of its `stream`, on `control`; the size of its result.
  static std::size_t Run(Replikon& control, int call, const ObjectRef& chain,
                         const SafeArray& stream) {
    switch (call) {
      case 0:
        return control.Copy(chain) ? 1 : 0;
      case 1:
        return control.StreamFromObject(chain).Count();
      default:
        return control.ObjectFromStream(stream) ? 1 : 0;
    }
  }

  ClassRegistry registry_;
  Server rt_;
  Server evil_;
  std::shared_ptr<int> booms_ = std::make_shared<int>(0);
  Replikon control_{nullptr, registry_};
};

// ---- Class names -------------------------------------------------------------------

TEST_F(ProcessingGuards, ClassNamesThatAreNoNamesCreateNothing) {
  std::vector<RecursionCheckArgs> events;
  control_.AddRecursionCheckHandler([&](RecursionCheckArgs& a) { events.push_back(a); });

  // As the root: the root problem, then 601; RT.Evil's Boom is never made.
  for (const char* name :
       {"Evil.Boom", "", ".Boom", "Boom ", "Bo om", "Bo\tom", "Bo\x7Fom", "Bo\xC2\x85om"}) {
    SCOPED_TRACE(name);
    events.clear();
    const SafeArray stream = SafeArray::FromBytes(ObjectStream(name));
    EXPECT_EQ(control_.ObjectTypeName(stream), name);  // reported as stored
    EXPECT_EQ(ErrorFrom([&] { control_.ObjectFromStream(stream); }).Number(), 601);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].error_status, 601);
    EXPECT_TRUE(events[0].current_object.IsNull());
  }

  // As a subobject: the subobject problem, and the Link is read without it.
  const SafeArray outer = SafeArray::FromBytes(ObjectStream(
      "Link", {{"Value", Variant(3)}, {"Next", BytesValue(ObjectStream("Evil.Boom"))}}));
  events.clear();
  EXPECT_EQ(ErrorFrom([&] { control_.ObjectFromStream(outer); }).Number(), 601);
  ASSERT_EQ(events.size(), 2u);  // the new subobject, then its problem
  EXPECT_EQ(events[1].error_status, 601);
  EXPECT_EQ(events[1].current_object_property, "Next");
  control_.SetProblemsNotification(ProblemsNotificationConstants::SourceObjectOnly);
  ObjectRef read = control_.ObjectFromStream(outer);
  EXPECT_EQ(read.As<Link>()->value, 3);
  EXPECT_TRUE(read.As<Link>()->next.IsNull());

  // An object that reports such a name is external: Copy and StreamFromObject
  // do not look for its class either.
  ObjectRef mask = registry_.CreateByProgId("RT.Mask");
  control_.SetProblemsNotification(ProblemsNotificationConstants::OnSubobjectProblem);
  EXPECT_EQ(ErrorFrom([&] { control_.Copy(mask); }).Number(), 601);
  EXPECT_EQ(ErrorFrom([&] { control_.StreamFromObject(mask); }).Number(), 601);
  ObjectRef holder = Chain(1);
  holder.As<Link>()->next = mask;
  control_.SetSetExternalReferences(true);
  control_.SetProblemsNotification(ProblemsNotificationConstants::SourceObjectOnly);
  EXPECT_EQ(control_.Copy(holder).As<Link>()->next, mask);  // carried over by reference

  EXPECT_EQ(*booms_, 0);
  EXPECT_EQ(registry_.LiveInstances("RT.Evil.Boom"), 0);
  EXPECT_TRUE(registry_.CreateByProgId("RT.Evil.Boom"));  // which does exist
}

// ---- Calls from handlers -------------------------------------------------------------

// Runs `f` on a thread of its own whose stack is 1 MB.
void OnOneMegabyteStack(const std::function<void()>& f) {
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, 1 << 20), 0);
  pthread_t thread;
  auto run = [](void* arg) -> void* {
    (*static_cast<const std::function<void()>*>(arg))();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attr, run, const_cast<std::function<void()>*>(&f)), 0);
  ASSERT_EQ(pthread_join(thread, nullptr), 0);
  pthread_attr_destroy(&attr);
}

TEST_F(ProcessingGuards, HandlersNestCallsOnlyToTheDocumentedDepth) {
  // Two components on one thread, each calling the other from its handler with
  // each of the three processing calls in turn, up to 10,000 deep if let.
  Replikon other(nullptr, registry_);
  other.SetObjectServerName("RT");
  Replikon* components[] = {&control_, &other};
  const ObjectRef chain = Chain(2);
  const SafeArray stream = control_.StreamFromObject(chain);

  for (const bool handler_catches : {true, false}) {
    SCOPED_TRACE(handler_catches ? "caught" : "passed on");
    int depth = 1;  // the calls under way
    int refused_at = 0;
    int completed = 0;
    AutomationError refused(0, "");
    std::vector<Replikon::HandlerId> ids;
    for (Replikon* self : components) {
      Replikon* next = self == &control_ ? &other : &control_;
      ids.push_back(self->AddRecursionCheckHandler([&, next](RecursionCheckArgs&) {
        if (refused_at != 0 || depth >= 10000) return;
        ++depth;
        try {
          completed += Run(*next, depth % 3, chain, stream) > 0 ? 1 : 0;
        } catch (const AutomationError& e) {
          --depth;
          if (e.Number() == 28 && refused_at == 0) {
            refused_at = depth + 1;
            refused = e;
          }
          if (!handler_catches) throw;
          return;
        }
        --depth;
      }));
    }

    if (handler_catches) {
      // The outer calls go on and complete, the deepest nesting allowed with
      // room to spare on a thread whose stack is 1 MB.
      OnOneMegabyteStack([&] { EXPECT_TRUE(control_.Copy(chain)); });
      EXPECT_EQ(completed, Replikon::kMaxNestedCalls - 1);
    } else {
      // Passed on, it aborts each call it leaves, as a handler's error does.
      const AutomationError e = ErrorFrom([&] { control_.Copy(chain); });
      EXPECT_EQ(e.Number(), 28);
      EXPECT_EQ(completed, 0);
    }
    EXPECT_EQ(refused_at, Replikon::kMaxNestedCalls + 1);
    EXPECT_EQ(depth, 1);
    EXPECT_STREQ(refused.what(),
                 "Error 28: Out of stack space: ObjectFromStream called while 64 "
                 "processing calls are under way on this thread");
    EXPECT_FALSE(control_.RootObject());
    EXPECT_FALSE(other.RootObject());
    EXPECT_EQ(registry_.LiveInstances("RT.Link"), 2);
    for (std::size_t i = 0; i < 2; ++i) components[i]->RemoveRecursionCheckHandler(ids[i]);
  }
  // Nothing is left counted: a call without handlers runs as ever.
  EXPECT_TRUE(control_.Copy(chain));
}

// ---- Limits ---------------------------------------------------------------------------

TEST_F(ProcessingGuards, LimitsOnAChainInEveryCall) {
  constexpr int kLength = 10;
  const ObjectRef chain = Chain(kLength);
  const SafeArray stream = control_.StreamFromObject(chain);
  const auto run = [&](int call) { return Run(control_, call, chain, stream); };
  for (const int call : {0, 1, 2}) {
    SCOPED_TRACE(call);
    // The whole chain: kLength objects, kLength levels.
    control_.SetMaxObjects(kLength);
    control_.SetMaxDepth(kLength);
    EXPECT_EQ(run(call), call == 1 ? stream.Count() : 1);
    // One level less.
    control_.SetMaxDepth(kLength - 1);
    AutomationError e = ErrorFrom([&] { run(call); });
    EXPECT_EQ(e.Number(), 603);
    EXPECT_EQ(e.Details(), "the graph goes deeper than MaxDepth (9)");
    // One object less.
    control_.SetMaxDepth(0);
    control_.SetMaxObjects(kLength - 1);
    e = ErrorFrom([&] { run(call); });
    test_support::ExpectError(e, 603, "Processing limit exceeded", "replictl.hlp", 1603);
    EXPECT_EQ(e.Details(), "the call needs more objects than MaxObjects (9)");
    EXPECT_EQ(registry_.LiveInstances("RT.Link"), kLength);  // nothing made is kept
    control_.SetMaxObjects(0);
  }
  // Nothing subobjects are no objects; a limit of 1 lets the root alone pass.
  ObjectRef single = Chain(1);
  control_.SetMaxObjects(1);
  control_.SetMaxDepth(1);
  EXPECT_TRUE(control_.Copy(single));
  EXPECT_TRUE(control_.ObjectFromStream(control_.StreamFromObject(single)));
}

}  // namespace
}  // namespace replikon
