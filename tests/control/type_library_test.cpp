// The component's type library, its late-bound face and late-bound event sinks.
#include "replikon/control/type_library.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "control/recorded_events.hpp"
#include "replikon/about/about_box.hpp"
#include "replikon/control/component_object.hpp"
#include "test_classes.hpp"
#include "test_support.hpp"

namespace replikon::testing {
namespace {

namespace fs = std::filesystem;
using test_support::ErrorFrom;
using test_support::ExpectError;
using test_support::ScopedEnv;
using test_support::TempDir;

// ---- The library as described ------------------------------------------------

// The whole table, every member with its identifier, kind, parameters, type,
// help context and help string, as the describe command prints it; the
// library's four types found by their exact names, their interfaces those of
// the live objects.
TEST(ComponentTypeLibrary, TableShowsEveryTypeAndMember) {
  std::ifstream golden(REPLIKON_TESTS_DIR "/control/type_library.txt");
  ASSERT_TRUE(golden) << "type_library.txt";
  const std::string expected{std::istreambuf_iterator<char>(golden), {}};
  const TypeLibraryDescription& lib = ReplikonTypeLibrary();
  EXPECT_EQ(FormatTypeLibrary(lib), expected);
  for (const char* name : {"_Replikon", "__Replikon"}) {
    for (const MemberDescription& m : lib.Find(name)->members->Members()) {
      EXPECT_FALSE(m.Hidden()) << m.Name();
      for (const auto& param : m.Params()) EXPECT_FALSE(param.optional) << m.Name();
    }
  }
  ASSERT_EQ(lib.types.size(), 4u);
  for (const TypeDescriptionEntry& type : lib.types) EXPECT_EQ(lib.Find(type.name), &type);
  EXPECT_EQ(lib.Find("replikon"), nullptr);
  EXPECT_EQ(lib.types[1].members, ReplikonClass()->Interface());
  EXPECT_EQ(lib.types[2].members, ReplikonEvents());
}

// ---- The component driven late-bound ------------------------------------------

struct SinkState {
  std::vector<std::string> properties;
  std::vector<std::int16_t> statuses;
  std::vector<ObjectRef> roots;
  std::string cancel;  // the property whose new-subobject event it cancels
};

struct Plain {
  std::int32_t x = 0;
};

// Sinks in a registry of the test's own: "Sink" declares the event's
// parameters, "ByValSink" the same with Cancel by value, "Plain" has no
// RecursionCheck at all.
class SinkClasses {
 public:
  SinkClasses() : server_("Sinks") {
    const auto declared = ReplikonEvents()->Members()[0].Params();
    std::vector<ParamDescription> params(declared.begin(), declared.end());
    auto check = [](SinkState& s, std::span<Variant> a) {
      s.roots.push_back(a[0].Object());
      s.properties.push_back(a[3].String());
      s.statuses.push_back(ToI2(a[5]));
      if (a[3].String() == s.cancel) a[4] = Variant(true);
      a[3] = Variant("changed by the sink");  // by value: the caller never sees it
    };
    server_.Class<SinkState>("Sink").Method("RecursionCheck", check, params);
    params[4].by_ref = false;
    server_.Class<SinkState>("ByValSink").Method("RecursionCheck", check, params);
    server_.Class<Plain>("Plain").Property("X", &Plain::x);
    registry_.Register(server_);
  }
  ObjectRef New(const char* prog_id) { return registry_.CreateByProgId(prog_id); }

 private:
  ClassRegistry registry_;
  Server server_;
};

class ComponentLateBound : public ::testing::Test {
 protected:
  Variant Get(std::string_view name) { return InvokeByName(face_, name, InvokeKind::PropertyGet); }
  void Let(std::string_view name, Variant value) {
    InvokeByName(face_, name, InvokeKind::PropertyPut, {&value, 1});
  }
  Variant Call(std::string_view name, std::vector<Variant> args = {}) {
    return InvokeByName(face_, name, InvokeKind::Function, args);
  }
  // The error number of that call.
  std::int32_t CallError(std::string_view name, std::vector<Variant> args = {}) {
    return ErrorFrom([&] { Call(name, std::move(args)); }).Number();
  }

  TestClasses classes_;
  std::shared_ptr<RecordingContainer> container_ = std::make_shared<RecordingContainer>();
  std::shared_ptr<Replikon> control_ = std::make_shared<Replikon>(container_, classes_.Registry());
  ObjectRef face_ = AsObject(control_);
  SinkClasses sinks_;
};

TEST_F(ComponentLateBound, ObjectIsTheComponentAndShowsItsAboutBox) {
  EXPECT_EQ(face_.As<Replikon>(), control_.get());
  EXPECT_EQ(AsObject(control_), face_);  // one object per component
  EXPECT_EQ(ClassNameOf(face_), "Replikon");
  EXPECT_EQ(DescribeObject(face_), ReplikonClass()->Interface());
  EXPECT_TRUE(AsObject(nullptr).IsNull());

  // The About box by the standard identifier.
  const TempDir dir;
  const std::string script = dir / "about.sh";
  const std::string marker = dir / "about.shown";
  std::ofstream(script) << "#!/bin/sh\ntouch '" << marker << "'\n";
  fs::permissions(script, fs::perms::owner_all);
  const ScopedEnv program("REPLIKON_ABOUT_PROGRAM", script);
  const ScopedEnv display("DISPLAY", ":98765");
  const bool built = !about::AboutProgramPath().empty();

  EXPECT_EQ(InvokeById(face_, kDispIdAboutBox, InvokeKind::Function), Variant());
  EXPECT_EQ(fs::exists(marker), built);  // shown modally: done when the call returns

  // The object keeps the component alive; a new one is made once it has gone.
  std::weak_ptr<Replikon> weak = control_;
  control_.reset();
  EXPECT_FALSE(weak.expired());
  face_.Reset();
  EXPECT_TRUE(weak.expired());
  auto other = std::make_shared<Replikon>();
  ObjectRef a = AsObject(other);
  a.Reset();
  EXPECT_NE(AsObject(other).get(), nullptr);
}

TEST_F(ComponentLateBound, SettingsByNameAndByIdentifier) {
  EXPECT_EQ(Get("ProblemsNotification"), Variant(std::int32_t{1}));
  Let("RecursionAllowed", Variant(false));
  Let("RaiseRecursionCheckEvent", Variant(std::int32_t{0}));  // converted to Boolean
  Let("ObjectServerName", Variant("  Srv  "));
  Let("ProblemsNotification", Variant("0"));
  Let("SetExternalReferences", Variant("True"));
  Let("PreserveIdentity", Variant(std::int32_t{-1}));
  EXPECT_EQ(Settings(*control_), SettingValues(false, false, "Srv", 0, true, 0, 0, true));
  EXPECT_EQ(container_->changed.size(), 6u);
  EXPECT_EQ(container_->changed.back(), "PreserveIdentity");
  // By identifier (the identifiers themselves are in the table).
  const Variant on(true);
  InvokeById(face_, 0x68030004, InvokeKind::PropertyPut, {&on, 1});
  EXPECT_EQ(InvokeById(face_, 0x68030004, InvokeKind::PropertyGet), Variant(true));

  // The same errors as through the C++ members; nothing changes.
  container_->changed.clear();
  for (const auto& bad :
       {std::pair{"ProblemsNotification", 2}, std::pair{"ProblemsNotification", -1},
        std::pair{"ProblemsNotification", 65537}, std::pair{"MaxObjects", -1},
        std::pair{"MaxDepth", -70000}}) {
    ExpectError(ErrorFrom([&] { Let(bad.first, Variant(bad.second)); }), 380,
                "Invalid property value");
  }
  EXPECT_EQ(ErrorFrom([&] { Let("RecursionAllowed", Variant("maybe")); }).Number(),
            errors::kTypeMismatch);
  EXPECT_EQ(ErrorFrom([&] { Let("ObjectServerName", Variant(kNull)); }).Number(),
            errors::kInvalidUseOfNull);
  EXPECT_EQ(Settings(*control_), SettingValues(true, false, "Srv", 0, true, 0, 0, true));
  EXPECT_TRUE(container_->changed.empty());
  EXPECT_EQ(ErrorFrom([&] { Get("Missing"); }).Number(), errors::kNotSupported);
  EXPECT_EQ(CallError("RecursionAllowed"), errors::kNotSupported);
}

TEST_F(ComponentLateBound, ProcessingCallsStreamUtilitiesAndTheirErrors) {
  ObjectRef node = classes_.NewNode("root", 5);
  N(node).child = classes_.NewNode("kid");

  EXPECT_EQ(CallError("Copy", {Variant(node)}), 600);

  Let("ObjectServerName", Variant("Lib"));
  const Variant copy = Call("Copy", {Variant(node)});
  ASSERT_TRUE(copy.IsObject());
  EXPECT_NE(copy.Object(), node);
  EXPECT_EQ(N(copy.Object()).name, "root");
  EXPECT_EQ(N(N(copy.Object()).child).name, "kid");
  EXPECT_EQ(Call("Copy", {Variant(ObjectRef())}), Variant(ObjectRef()));

  const Variant source(node);
  const Variant stream = InvokeById(face_, 0x60030012, InvokeKind::Function, {&source, 1});
  ASSERT_EQ(stream.Type(), kByteArrayType);
  const Variant rebuilt = Call("ObjectFromStream", {stream});
  EXPECT_EQ(N(rebuilt.Object()).value, 5);
  EXPECT_EQ(N(N(rebuilt.Object()).child).name, "kid");
  EXPECT_EQ(Call("ObjectTypeName", {stream}), Variant("Node"));
  EXPECT_EQ(Call("IsStream", {stream}), Variant(true));
  const Variant junk(SafeArray::FromBytes(std::vector<std::uint8_t>{0, 1}));
  EXPECT_EQ(Call("IsStream", {junk}), Variant(false));
  EXPECT_EQ(Call("ObjectTypeName", {junk}), Variant(""));

  EXPECT_EQ(CallError("ObjectFromStream", {junk}), 602);
  EXPECT_EQ(CallError("Copy", {Variant("not an object")}), errors::kTypeMismatch);
  EXPECT_EQ(CallError("ObjectFromStream", {Variant(std::int32_t{1})}), errors::kTypeMismatch);
  EXPECT_EQ(CallError("IsStream", {Variant("text")}), errors::kTypeMismatch);
  EXPECT_EQ(CallError("Copy"), errors::kWrongArguments);
  EXPECT_EQ(CallError("Copy", {source, source}), errors::kWrongArguments);

  const TempDir dir;
  Call("StreamToFile", {stream, Variant(dir / "node.bin")});
  EXPECT_EQ(Call("StreamFromFile", {Variant(dir / "node.bin")}), stream);
  // File-system errors pass through unchanged.
  EXPECT_EQ(CallError("StreamFromFile", {Variant(dir / "none.bin")}), errors::kFileNotFound);
}

// ---- Late-bound event sinks -----------------------------------------------------

TEST_F(ComponentLateBound, SinkFollowsTheWalkAndItsCancelCountsUnlessItFails) {
  control_->SetObjectServerName("Lib");
  ObjectRef node = classes_.NewNode("root");
  N(node).child = classes_.NewNode("kid");
  N(node).next = classes_.NewNode("sibling");
  ObjectRef sink = sinks_.New("Sinks.Sink");
  sink.As<SinkState>()->cancel = "Child";
  const auto id = ConnectSink(*control_, sink);
  // A C++ handler after the sink sees the Cancel that the sink left.
  std::vector<std::string> after;
  control_->AddRecursionCheckHandler([&](RecursionCheckArgs& e) {
    after.push_back(e.current_object_property + (e.cancel ? ":cancel" : ""));
  });

  const Variant copy = Call("Copy", {Variant(node)});
  const SinkState& seen = *sink.As<SinkState>();
  EXPECT_EQ(seen.properties, (std::vector<std::string>{"Child", "Next", "Child", "Next"}));
  EXPECT_EQ(seen.statuses, (std::vector<std::int16_t>{0, 0, 0, 0}));
  for (const ObjectRef& root : seen.roots) EXPECT_EQ(root, node);
  EXPECT_EQ(after, (std::vector<std::string>{"Child:cancel", "Next", "Child:cancel", "Next"}));
  EXPECT_FALSE(N(copy.Object()).child);  // cancelled
  EXPECT_EQ(N(N(copy.Object()).next).name, "sibling");

  // Disconnected: no more events; the component lets go of the sink.
  EXPECT_TRUE(control_->RemoveRecursionCheckHandler(id));
  const long refs = sink.UseCount();
  Call("Copy", {Variant(node)});
  EXPECT_EQ(sink.As<SinkState>()->properties.size(), 4u);
  EXPECT_EQ(refs, 1);

  // A sink that declares Cancel by value: what it sets there is not read back.
  ObjectRef by_value = sinks_.New("Sinks.ByValSink");
  by_value.As<SinkState>()->cancel = "Child";
  ConnectSink(*control_, by_value);
  EXPECT_EQ(N(N(Call("Copy", {Variant(node)}).Object()).child).name, "kid");

  // A sink whose method takes other arguments: its error ends the call.
  Server odd("Odd");
  odd.Class<Plain>("Sink").Method("RecursionCheck", [](Plain&, std::span<const Variant>) {});
  ClassRegistry registry;
  registry.Register(odd);
  ConnectSink(*control_, registry.CreateByProgId("Odd.Sink"));
  EXPECT_EQ(CallError("Copy", {Variant(node)}), errors::kWrongArguments);
  EXPECT_FALSE(control_->RootObject());
  // What is no sink is refused.
  EXPECT_EQ(ErrorFrom([&] { ConnectSink(*control_, ObjectRef()); }).Number(),
            errors::kObjectNotSet);
  EXPECT_EQ(ErrorFrom([&] { ConnectSink(*control_, sinks_.New("Sinks.Plain")); }).Number(),
            errors::kNotSupported);
}

// ---- By-reference arguments, through a sink ------------------------------------

TEST_F(ComponentLateBound, OnlyByReferenceArgumentsOfACallersVariablesChange) {
  ObjectRef sink = sinks_.New("Sinks.Sink");
  sink.As<SinkState>()->cancel = "P";
  std::vector<Variant> args{Variant(ObjectRef()), Variant(ObjectRef()), Variant(ObjectRef()),
                            Variant("P"),         Variant(false),       Variant(std::int16_t{0})};
  const std::vector<Variant> before = args;

  InvokeByName(sink, "RecursionCheck", InvokeKind::Function, args);  // values: nothing changes
  EXPECT_EQ(args, before);

  InvokeByNameRef(sink, "RecursionCheck", InvokeKind::Function, args);
  EXPECT_EQ(args[4], Variant(true));  // Cancel, by reference
  EXPECT_EQ(args[3], Variant("P"));   // by value
  args[4] = Variant(false);
  InvokeByIdRef(sink, DescribeObject(sink)->Members()[0].MemberId(), InvokeKind::Function, args);
  EXPECT_EQ(args[4], Variant(true));
  EXPECT_EQ(sink.As<SinkState>()->properties.size(), 3u);

  // A body that takes its arguments as values: a caller's variables stay as they are.
  Variant flag(true);
  InvokeByNameRef(face_, "RecursionAllowed", InvokeKind::PropertyPut, {&flag, 1});
  EXPECT_EQ(flag, Variant(true));

  // Omitted optional by-reference parameters arrive as Missing and go nowhere.
  struct Tally {};
  Server server("Tally");
  server.Class<Tally>("Tally").Method(
      "Bump",
      [](Tally&, std::span<Variant> a) {
        const std::int32_t step = a[1].IsMissing() ? 1 : ToI4(a[1]);
        a[0] = Variant(ToI4(a[0]) + step);
        a[1] = Variant(std::int32_t{0});
        return step;
      },
      {ParamDescription{"Counter", VarType::I4, true},
       ParamDescription{"Step", VarType::I4, true, true}},
      VarType::I4);
  ClassRegistry registry;
  registry.Register(server);
  ObjectRef tally = registry.CreateByProgId("Tally.Tally");
  Variant counter(std::int32_t{5});
  EXPECT_EQ(InvokeByNameRef(tally, "Bump", InvokeKind::Function, {&counter, 1}),
            Variant(std::int32_t{1}));
  EXPECT_EQ(counter, Variant(std::int32_t{6}));
  std::vector<Variant> both{Variant(std::int32_t{1}), Variant(std::int32_t{10})};
  InvokeByNameRef(tally, "Bump", InvokeKind::Function, both);
  EXPECT_EQ(both[0], Variant(std::int32_t{11}));
  EXPECT_EQ(both[1], Variant(std::int32_t{0}));
}

}  // namespace
}  // namespace replikon::testing
