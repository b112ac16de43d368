#include "replikon/copy/object_factory.hpp"

#include <gtest/gtest.h>

#include "copy_test_classes.hpp"

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

TEST_F(ObjectFactoryTest, CreatesTheServersClass) {
  std::int32_t status = -1;
  ObjectRef node = Create("Node", status);
  EXPECT_EQ(status, 0);
  ASSERT_TRUE(node);
  EXPECT_EQ(ClassNameOf(node), "Node");
  EXPECT_EQ(classes_.Count().initialised, 1);
}

TEST_F(ObjectFactoryTest, NothingIsANullReferenceAndCreatesNothing) {
  std::int32_t status = -1;
  EXPECT_FALSE(Create("Nothing", status));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(classes_.Count().initialised, 0);
  // Only the exact name is reserved.
  EXPECT_FALSE(Create("nothing", status));
  EXPECT_EQ(status, 601);
}

TEST_F(ObjectFactoryTest, EveryFailureIsStatus601WithNoObject) {
  std::int32_t status = 0;
  EXPECT_FALSE(Create("Gadget", status));  // another server's class
  EXPECT_EQ(status, 601);
  status = 0;
  EXPECT_FALSE(Create("node", status));  // names compare exactly
  EXPECT_EQ(status, 601);
  status = 0;
  EXPECT_FALSE(Create("Failing", status));  // initialisation raises
  EXPECT_EQ(status, 601);
  status = 0;
  EXPECT_FALSE(Create("", status));
  EXPECT_EQ(status, 601);
}

TEST_F(ObjectFactoryTest, InstanceReportingAnotherClassIsReleased) {
  std::int32_t status = 0;
  EXPECT_FALSE(Create("Impostor", status));
  EXPECT_EQ(status, 601);
  EXPECT_EQ(classes_.Live("Lib.Impostor"), 0);
}

TEST_F(ObjectFactoryTest, ServerNameIsUsedAsStored) {
  std::int32_t status = 0;
  settings_.object_server_name = "";
  EXPECT_FALSE(Create("Node", status));  // ".Node"
  EXPECT_EQ(status, 601);
  settings_.object_server_name = " Lib";
  EXPECT_FALSE(Create("Node", status));
  EXPECT_EQ(status, 601);
  settings_.object_server_name = "Ext";
  EXPECT_TRUE(Create("Gadget", status));
  EXPECT_EQ(status, 0);
}

TEST_F(ObjectFactoryTest, ClassStatusProbesOnceAndKeepsNothing) {
  EngineContext ctx(settings_, classes_.Registry());
  EXPECT_EQ(ClassStatus(ctx, "Node"), 0);
  EXPECT_EQ(classes_.LiveNodes(), 0);
  EXPECT_EQ(classes_.Count().initialised, 1);
  EXPECT_EQ(classes_.Count().terminated, 1);
  EXPECT_EQ(ClassStatus(ctx, "Nothing"), 0);
  EXPECT_EQ(ClassStatus(ctx, "Gadget"), 601);
  EXPECT_EQ(ClassStatus(ctx, "Impostor"), 601);
}

}  // namespace
}  // namespace replikon::testing
