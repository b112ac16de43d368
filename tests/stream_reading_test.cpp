// Subobjects read back as Nothing: the null-reference Stream in the form the
// writer gives it, and any other Stream that holds Nothing, set the property
// to Nothing once; a nested Stream that only resembles it is read as what it
// is.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "replikon/automation.hpp"
#include "replikon/copy/engine_context.hpp"
#include "replikon/stream/stream_engines.hpp"

namespace replikon {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Holder {
  ObjectRef child;
  int sets = 0;
};

class StreamReading : public ::testing::Test {
 protected:
  StreamReading() {
    Server lib("ReadLib");
    lib.Class<Holder>("Holder")
        .Get("Child", [](Holder& h) { return h.child; })
        .Set("Child", [](Holder& h, const ObjectRef& o) {
          ++h.sets;
          h.child = o;
        });
    registry_.Register(lib);
    settings_.object_server_name = "ReadLib";
  }

  // A Holder's Stream whose "Child" entry holds the nested bag `write` makes.
  static Bytes HolderWithChild(const std::function<void(BagWriter&)>& write) {
    Bytes nested;
    BagWriter child(nested);
    write(child);
    child.Finish();
    Bytes stream;
    BagWriter top(stream);
    top.Write("@SF#", Variant(17));
    top.Write("@OT#", Variant("Holder"));
    top.WriteBytes("Child", nested);
    top.Finish();
    return stream;
  }

  ObjectRef Read(const Bytes& stream) {
    EngineContext ctx(settings_, registry_, [](RecursionCheckArgs&) {});
    ObjectRef result;
    ObjectRef parent;
    std::int32_t status = 0;
    ReadObject(ctx, stream, result, parent, true, status);
    EXPECT_EQ(status, 0);
    return result;
  }

  ClassRegistry registry_;
  EngineSettings settings_;
};

TEST_F(StreamReading, EveryFormOfNothingSetsNothing) {
  const std::function<void(BagWriter&)> forms[] = {
      [](BagWriter& w) { w.Write("@SF#", Variant(529)); },
      [](BagWriter& w) { w.Write("@SF#", Variant("529")); },
      [](BagWriter& w) {
        w.Write("@SF#", Variant(529));
        w.Write("@OT#", Variant(""));
      },
  };
  for (const auto& form : forms) {
    const ObjectRef back = Read(HolderWithChild(form));
    ASSERT_TRUE(back);
    EXPECT_EQ(back.As<Holder>()->sets, 1);
    EXPECT_TRUE(back.As<Holder>()->child.IsNull());
  }
}

TEST_F(StreamReading, ANestedObjectIsNoNothing) {
  const ObjectRef back = Read(HolderWithChild([](BagWriter& w) {
    w.Write("@SF#", Variant(17));
    w.Write("@OT#", Variant("Holder"));
  }));
  ASSERT_TRUE(back);
  EXPECT_EQ(back.As<Holder>()->sets, 1);
  ASSERT_TRUE(back.As<Holder>()->child);
  EXPECT_EQ(ClassNameOf(back.As<Holder>()->child), "Holder");
}

}  // namespace
}  // namespace replikon
