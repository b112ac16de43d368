// Reuse of instance and array memory across threads, the copy's direct field access and
// its guard against a foreign C++ type, the factory's cached class look-up, and
// the shared initial body of small arrays.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "copy/copy_engine.hpp"
#include "copy/engine_context.hpp"
#include "copy/object_factory.hpp"
#include "replikon/server.hpp"

namespace replikon::testing {
namespace {

struct Part {
  std::int32_t number = 0;
  std::string name;
  SafeArray values{VarType::I4, {{0, 7}}};
  ObjectRef next;
};

// Larger than the blocks that a thread keeps for reuse.
struct Bulky {
  std::array<double, 100> data{};
};

// Same shape as nothing above: it must never be read as a Part.
struct Other {
  double x = 1.5;
  std::string label = "other";
};

class InstanceReuse : public ::testing::Test {
 protected:
  InstanceReuse() : server_("Lib") {
    server_.Class<Part>("Part")
        .Property("Number", &Part::number)
        .Property("Name", &Part::name)
        .ArrayProperty("Values", &Part::values, VarType::I4)
        .Property("Next", &Part::next);
    server_.Class<Bulky>("Bulky");
    registry_.Register(server_);
  }

  Server server_;
  ClassRegistry registry_;
};

TEST_F(InstanceReuse, MemoryReleasedOnAnotherThreadServesFreshInstancesAndCopiesGoThroughFields) {
  constexpr int kCount = 3000;
  std::vector<ObjectRef> made;
  std::thread maker([&] {
    for (int i = 0; i < kCount; ++i) {
      ObjectRef part = registry_.CreateByProgId("Lib.Part");
      Part& p = *part.As<Part>();
      p.number = i;
      p.name = std::string(40, 'x');  // outside the string's own storage
      p.values.SetFlat(3, Variant(i));
      made.push_back(std::move(part));
    }
    made.push_back(registry_.CreateByProgId("Lib.Bulky"));
  });
  maker.join();

  std::thread user([&] {
    made.clear();  // released here, not on the maker's thread
    for (int round = 0; round < 2; ++round) {
      std::vector<ObjectRef> again;
      for (int i = 0; i < kCount; ++i) {
        again.push_back(registry_.CreateByProgId("Lib.Part"));
        Part& p = *again.back().As<Part>();
        ASSERT_EQ(p.number, 0);
        ASSERT_TRUE(p.name.empty());
        ASSERT_EQ(p.values.Count(), 8U);
        ASSERT_EQ(p.values.GetFlat(3), Variant(0));
        ASSERT_TRUE(p.next.IsNull());
        // Elements of its own, in memory that the maker's arrays released.
        p.values.SetFlat(7, Variant(i));
        ASSERT_EQ(p.values.GetFlat(3), Variant(0));
      }
      again.push_back(registry_.CreateByProgId("Lib.Bulky"));
    }
  });
  user.join();
  EXPECT_EQ(registry_.LiveInstances("Lib.Part"), 0);
  EXPECT_EQ(registry_.LiveInstances("Lib.Bulky"), 0);

  // The copy goes through the fields, and leaves a foreign type alone.
  EngineSettings settings;
  settings.object_server_name = "Lib";
  EngineContext ctx(settings, registry_);

  ObjectRef source = registry_.CreateByProgId("Lib.Part");
  source.As<Part>()->number = 42;
  source.As<Part>()->name = "source";
  source.As<Part>()->values.SetFlat(0, Variant(9));
  ObjectRef tail = registry_.CreateByProgId("Lib.Part");
  tail.As<Part>()->name = "tail";
  tail.As<Part>()->next = source;  // a cycle back to the top
  source.As<Part>()->next = tail;

  ObjectRef target = registry_.CreateByProgId("Lib.Part");
  std::int32_t status = -1;
  CopyProperties(ctx, source, target, source, status);
  EXPECT_EQ(status, 0);
  const Part& copy = *target.As<Part>();
  EXPECT_EQ(copy.number, 42);
  EXPECT_EQ(copy.name, "source");
  EXPECT_EQ(copy.values.GetFlat(0), Variant(9));
  ASSERT_FALSE(copy.next.IsNull());
  EXPECT_NE(copy.next, tail);
  EXPECT_EQ(copy.next.As<Part>()->name, "tail");
  EXPECT_EQ(copy.next.As<Part>()->next, target);
  copy.next.As<Part>()->next.Reset();  // break the copied cycle
  source.As<Part>()->next.Reset();

  // An object of another C++ type that presents the Part interface: no field of
  // it is read or assigned as a Part's, in either direction.
  const std::shared_ptr<const ClassInfo> part_class = source->ClassPtr();
  const auto foreign_class =
      std::make_shared<const ClassInfo>("Part", part_class->Interface(), typeid(Other));
  ObjectRef foreign = MakeObject<Other>(foreign_class);
  CopyProperties(ctx, source, foreign, source, status);
  EXPECT_EQ(foreign.As<Other>()->x, 1.5);
  EXPECT_EQ(foreign.As<Other>()->label, "other");

  ObjectRef fresh = registry_.CreateByProgId("Lib.Part");
  CopyProperties(ctx, foreign, fresh, foreign, status);
  EXPECT_EQ(fresh.As<Part>()->number, 0);
  EXPECT_TRUE(fresh.As<Part>()->name.empty());
}

TEST(ClassLookup, EveryCharacterOfServerAndClassNamesCounts) {
  // Names of every length up to 20, and for each the same name with one
  // character changed at each position in turn.
  std::vector<std::string> names;
  for (std::size_t length = 1; length <= 20; ++length) {
    const std::string base(length, 'a');
    names.push_back(base);
    for (std::size_t at = 0; at < length; ++at) {
      std::string changed = base;
      changed[at] = 'b';
      names.push_back(changed);
    }
  }
  Server one("ServerOne");
  Server two("ServerOnf");  // differs from the first in its last character only
  for (const std::string& name : names) one.Class<Part>(name);
  two.Class<Other>("aaaa");
  ClassRegistry registry;
  registry.Register(one);
  registry.Register(two);

  EngineSettings settings;
  settings.object_server_name = "ServerOne";
  EngineContext ctx(settings, registry);
  for (int pass = 0; pass < 2; ++pass) {
    for (const std::string& name : names) {
      std::int32_t status = -1;
      const ObjectRef made = CreateInstance(ctx, name, status);
      ASSERT_EQ(status, 0) << name;
      ASSERT_EQ(ClassNameOf(made), name);
    }
  }

  // The server is read at each creation, and a new registration is seen.
  std::int32_t status = -1;
  ASSERT_NE(CreateInstance(ctx, "aaaa", status).As<Part>(), nullptr);
  settings.object_server_name = "ServerOnf";
  EXPECT_NE(CreateInstance(ctx, "aaaa", status).As<Other>(), nullptr);
  EXPECT_EQ(CreateInstance(ctx, "aaab", status), ObjectRef{});
  EXPECT_EQ(status, 601);
  Server replaced("ServerOnf");
  replaced.Class<Part>("aaaa");
  registry.Register(replaced);
  EXPECT_NE(CreateInstance(ctx, "aaaa", status).As<Part>(), nullptr);
}

}  // namespace
}  // namespace replikon::testing
