#include "copy/object_factory.hpp"

#include <gtest/gtest.h>

#include "test_classes.hpp"

namespace replikon::testing {
namespace {

class ObjectFactoryTest : public ::testing::Test {
 protected:
  ObjectFactoryTest() { settings_.object_server_name = "Lib"; }

  ObjectRef Create(std::string_view class_name, std::int32_t& status) {
    EngineContext ctx(settings_, classes_.Registry());
    return CreateInstance(ctx, class_name, status);
  }

  TestClasses classes_;
  EngineSettings settings_;
};

TEST_F(ObjectFactoryTest, CreatesTheServersClassNothingIsANullReferenceAndStatusKeepsNothing) {
  std::int32_t status = -1;
  EXPECT_FALSE(Create("Nothing", status));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(classes_.Count().initialised, 0);
  EXPECT_FALSE(Create("nothing", status));  // only the exact name is reserved
  EXPECT_EQ(status, 601);
  status = -1;
  EXPECT_EQ(ClassNameOf(Create("Node", status)), "Node");
  EXPECT_EQ(status, 0);
  EXPECT_EQ(classes_.Count().initialised, 1);

  // The status alone: the probe is not kept.
  EngineContext ctx(settings_, classes_.Registry());
  EXPECT_EQ(ClassStatus(ctx, "Node"), 0);
  EXPECT_EQ(classes_.LiveNodes(), 0);
  EXPECT_EQ(classes_.Count().initialised, 2);
  EXPECT_EQ(classes_.Count().terminated, 2);
  EXPECT_EQ(ClassStatus(ctx, "Nothing"), 0);
  EXPECT_EQ(ClassStatus(ctx, "Gadget"), 601);
  EXPECT_EQ(ClassStatus(ctx, "Impostor"), 601);
}

TEST_F(ObjectFactoryTest, EveryFailureIsStatus601WithNoObject) {
  // Another server's class, a name that differs in case, an initialisation that
  // raises, a blank name, an instance that reports another class, and server
  // names used exactly as stored.
  const std::pair<const char*, const char*> cases[] = {
      {"Lib", "Gadget"},   {"Lib", "node"}, {"Lib", "Failing"}, {"Lib", ""},
      {"Lib", "Impostor"}, {"", "Node"},    {" Lib", "Node"}};
  for (const auto& [server, name] : cases) {
    settings_.object_server_name = server;
    std::int32_t status = 0;
    EXPECT_FALSE(Create(name, status)) << server << "." << name;
    EXPECT_EQ(status, 601) << server << "." << name;
  }
  EXPECT_EQ(classes_.Live("Lib.Impostor"), 0);
  settings_.object_server_name = "Ext";
  std::int32_t status = -1;
  EXPECT_TRUE(Create("Gadget", status));
  EXPECT_EQ(status, 0);
}

TEST(ClassNameTest, NamesWithoutPointsSpacesOrControlCharacters) {
  for (const char* good : {"Node", "N", "_Default", "Klasse\xC3\xA4", "A-B"}) {
    EXPECT_TRUE(IsClassName(good)) << good;
  }
  for (const char* bad :
       {"", "A.B", ".", "A B", " A", "A\t", "A\n", "A\x7F", "A\001B", "A\xC2\x80", "\xC2\x9F"}) {
    EXPECT_FALSE(IsClassName(bad)) << bad;
  }
  EXPECT_FALSE(IsClassName(std::string_view("A\0B", 3)));
}

}  // namespace
}  // namespace replikon::testing
