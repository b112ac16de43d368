// Type information and late-bound invocation: every kind of member reached by
// name, conversions on assignment, and the errors the platform raises.
#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "orders/orders_server.hpp"
#include "plain_types.hpp"
#include "replikon/server.hpp"
#include "test_support.hpp"

namespace {

using namespace replikon;
using namespace replikon::errors;
using test_support::ErrorFrom;

struct Probe : test_support::PlainTypes {
  SafeArray names{VarType::BStr};
  SafeArray anys{VarType::Variant};
  std::int32_t fixed = 7;
  std::int32_t secret = 0;
  std::string last_cell;
  std::int32_t guarded = 0;
};

std::shared_ptr<const ClassInfo> ProbeClass() {
  static const std::shared_ptr<const ClassInfo> info = [] {
    ClassBuilder<Probe> b("Probe");
    b.Get("_Default", [](const Probe& p) { return p.i4; }).Hidden().Default();
    test_support::AddPlainMembers(b)
        .ArrayProperty("Names", &Probe::names, VarType::BStr)
        .ArrayProperty("Anys", &Probe::anys, VarType::Variant)
        .ReadOnly("Fixed", &Probe::fixed)
        .WriteOnly("Secret", &Probe::secret)
        .Get("Cell", VarType::I4,
             [](const Probe&, std::span<const Variant> args) {
               const std::int32_t col = args[1].IsMissing() ? 0 : ToI4(args[1]);
               return ToI4(args[0]) * 100 + col;
             },
             {{"Row", VarType::I4}, {"Col", VarType::I4, false, true}})
        .Let("Cell", VarType::BStr,
             [](Probe& p, std::span<const Variant> args) {
               p.last_cell = DisplayText(args[0]) + "," +
                             (args[1].IsMissing() ? "-" : DisplayText(args[1])) + "=" +
                             args[2].String();
             },
             {{"Row", VarType::I4}, {"Col", VarType::I4, false, true}})
        .Get("Fails",
             [](const Probe&) -> std::int32_t { throw AutomationError(1234, "custom failure"); })
        .Get("Throws",
             [](const Probe&) -> std::int32_t { throw std::runtime_error("disk on fire"); })
        .Get("ThrowsInt", [](const Probe&) -> std::int32_t { throw 42; })
        .Get("Guarded", [](const Probe& p) { return p.guarded; })
        .Let<std::int32_t>("Guarded",
                           [](Probe& p, std::int32_t v) {
                             if (v < 0) errors::Raise(kInvalidPropertyValue);
                             p.guarded = v;
                           })
        .Get("Rounded", VarType::I4, [](const Probe&) { return 2.75; })
        .Method(
            "Sum",
            [](Probe&, std::span<const Variant> args) {
              std::int32_t sum = ToI4(args[0]) + ToI4(args[1]);
              if (!args[2].IsMissing()) sum += ToI4(args[2]);
              return sum;
            },
            {{"A", VarType::I4}, {"B", VarType::I4}, {"C", VarType::I4, false, true}}, VarType::I4)
        .Method("Reset", [](Probe& p) { p.i4 = 0; });
    return b.BuildInfo();
  }();
  return info;
}

ObjectRef NewProbe() {
  return MakeObject<Probe>(ProbeClass());
}

Variant Call(const ObjectRef& o, std::string_view name, InvokeKind kind,
             std::initializer_list<Variant> args = {}) {
  return InvokeByName(o, name, kind, std::span<const Variant>(args.begin(), args.size()));
}
Variant Get(const ObjectRef& o, std::string_view name, std::initializer_list<Variant> args = {}) {
  return Call(o, name, InvokeKind::PropertyGet, args);
}
void Let(const ObjectRef& o, std::string_view name, const Variant& value) {
  Call(o, name, InvokeKind::PropertyPut, {value});
}
void Set(const ObjectRef& o, std::string_view name, const Variant& value) {
  Call(o, name, InvokeKind::PropertyPutRef, {value});
}

SafeArray LongArray(std::initializer_list<std::int32_t> values) {
  SafeArray a(VarType::I4, {ArrayBound{0, static_cast<std::int32_t>(values.size()) - 1}});
  std::size_t i = 0;
  for (std::int32_t v : values) a.SetFlat(i++, Variant(v));
  return a;
}

TEST(InvokeByName, ScalarPropertiesRoundTripAndLetsConvertOrLeaveThemAlone) {
  ObjectRef p = NewProbe();
  struct Named {
    const char* name;
    Variant value;
  };
  for (const auto& [name, value] :
       {Named{"I2", std::int16_t{-12}}, Named{"I4", 123456}, Named{"R4", 1.5F}, Named{"R8", -2.25},
        Named{"Cy", Currency{123450}}, Named{"Date", Date{45366.5}}, Named{"Text", "héllo"},
        Named{"Flag", true}, Named{"Dec", Decimal{0, 12345, 2, true}},
        Named{"Byte", std::uint8_t{200}}}) {
    SCOPED_TRACE(name);
    Let(p, name, value);
    EXPECT_EQ(Get(p, name), value);
  }

  // A let converts to the declared type.
  Let(p, "I4", Variant("42"));
  EXPECT_EQ(Get(p, "I4"), Variant(42));
  Let(p, "Text", Variant(5));
  EXPECT_EQ(Get(p, "Text"), Variant("5"));
  Let(p, "I2", Variant());  // Empty is zero
  EXPECT_EQ(Get(p, "I2"), Variant(std::int16_t{0}));
  EXPECT_EQ(Get(p, "Rounded"), Variant(3));  // a typed get: 2.75 as a Long
  // A typed let of an object assigns the object's default value.
  ObjectRef q = NewProbe();
  Let(q, "I4", Variant(77));
  Let(p, "Text", Variant(q));
  EXPECT_EQ(Get(p, "Text"), Variant("77"));

  // A failed conversion leaves the property alone.
  Let(p, "I2", Variant(std::int16_t{9}));
  EXPECT_EQ(ErrorFrom([&] { Let(p, "I2", Variant(70000)); }).Number(), kOverflow);
  EXPECT_EQ(ErrorFrom([&] { Let(p, "Byte", Variant(-1)); }).Number(), kOverflow);
  EXPECT_EQ(ErrorFrom([&] { Let(p, "I2", Variant("abc")); }).Number(), kTypeMismatch);
  EXPECT_EQ(ErrorFrom([&] { Let(p, "I2", Variant(kNull)); }).Number(), kInvalidUseOfNull);
  EXPECT_EQ(ErrorFrom([&] { Let(p, "I2", Variant(LongArray({1}))); }).Number(), kTypeMismatch);
  EXPECT_EQ(Get(p, "I2"), Variant(std::int16_t{9}));
}

TEST(InvokeByName, VariantObjectAndArrayPropertiesTakeWhatTheirKindAllows) {
  ObjectRef p = NewProbe();
  ObjectRef q = NewProbe();
  Let(q, "I4", Variant(5));

  Let(p, "Any", Variant(kNull));
  EXPECT_TRUE(Get(p, "Any").IsNull());
  Let(p, "Any", Variant(LongArray({1, 2})));
  EXPECT_EQ(Get(p, "Any"), Variant(LongArray({1, 2})));
  // A let stores the object's value, a set the reference itself.
  Let(p, "Any", Variant(q));
  EXPECT_EQ(Get(p, "Any"), Variant(5));
  Set(p, "Any", Variant(q));
  EXPECT_EQ(Get(p, "Any").Object(), q);
  Set(p, "Any", Variant(ObjectRef()));
  EXPECT_EQ(Get(p, "Any"), Variant(ObjectRef()));
  // An object without a default member has no value to let.
  ObjectRef invoice_like = MakeObject<Probe>(ClassBuilder<Probe>("Bare").BuildInfo());
  EXPECT_NE(ErrorFrom([&] { Let(p, "Any", Variant(invoice_like)); }).Number(), 0);

  // An object property takes only references.
  EXPECT_EQ(Get(p, "Other"), Variant(ObjectRef()));
  Set(p, "Other", Variant(q));
  EXPECT_EQ(Get(p, "Other").Object(), q);
  EXPECT_EQ(ErrorFrom([&] { Set(p, "Other", Variant(1)); }).Number(), kObjectRequired);
  EXPECT_EQ(ErrorFrom([&] { Set(p, "Other", Variant()); }).Number(), kObjectRequired);
  EXPECT_EQ(ErrorFrom([&] { Let(p, "Other", Variant(q)); }).Number(), kNotSupported);
  EXPECT_EQ(ErrorFrom([&] { Set(p, "I4", Variant(q)); }).Number(), kNotSupported);
  EXPECT_EQ(Get(p, "Other").Object(), q);
  Set(p, "Other", Variant(ObjectRef()));
  EXPECT_TRUE(Get(p, "Other").Object().IsNull());

  // An array property takes only its own array type.
  Let(p, "Longs", Variant(LongArray({4, 5, 6})));
  EXPECT_EQ(Get(p, "Longs"), Variant(LongArray({4, 5, 6})));
  Let(p, "Longs", Variant(SafeArray(VarType::I4)));  // unallocated
  EXPECT_FALSE(Get(p, "Longs").Array().IsAllocated());

  Let(p, "Longs", Variant(LongArray({1})));
  EXPECT_EQ(ErrorFrom([&] { Let(p, "Names", Variant(LongArray({1}))); }).Number(), kTypeMismatch);
  EXPECT_EQ(ErrorFrom([&] { Let(p, "Anys", Variant(LongArray({1}))); }).Number(), kTypeMismatch);
  EXPECT_EQ(ErrorFrom([&] { Let(p, "Longs", Variant(1)); }).Number(), kTypeMismatch);
  EXPECT_EQ(ErrorFrom([&] { Let(p, "Longs", Variant(kNull)); }).Number(), kTypeMismatch);
  EXPECT_EQ(Get(p, "Longs"), Variant(LongArray({1})));

  // The get hands out a copy: changing it leaves the property alone.
  Variant got = Get(p, "Longs");
  got.MutableArray().SetFlat(0, Variant(99));
  EXPECT_EQ(Get(p, "Longs"), Variant(LongArray({1})));
}

TEST(InvokeByName, UnknownMembersNullObjectsBadKindsAndArgumentCounts) {
  ObjectRef p = NewProbe();
  EXPECT_EQ(ErrorFrom([&] { Get(p, "NoSuchMember"); }).Number(), kNotSupported);
  EXPECT_EQ(ErrorFrom([&] { Get(p, "i4"); }).Number(), kNotSupported);  // case-sensitive
  EXPECT_EQ(ErrorFrom([&] { Get(p, ""); }).Number(), kNotSupported);
  EXPECT_EQ(ErrorFrom([&] { Call(p, "I4", static_cast<InvokeKind>(3)); }).Number(), kNotSupported);
  EXPECT_EQ(ErrorFrom([&] { Get(ObjectRef(), "I4"); }).Number(), kObjectNotSet);
  EXPECT_EQ(ErrorFrom([&] { DescribeObject(ObjectRef()); }).Number(), kObjectNotSet);
  EXPECT_EQ(
      ErrorFrom([&] { InvokeById(ObjectRef(), kDispIdValue, InvokeKind::PropertyGet); }).Number(),
      kObjectNotSet);
  EXPECT_EQ(ClassNameOf(Variant(p)), "Probe");
  for (const Variant& v : {Variant(ObjectRef()), Variant(5), Variant(), Variant(kNull)}) {
    EXPECT_EQ(ClassNameOf(v), "Nothing");
  }
  EXPECT_EQ(ClassNameOf(ObjectRef()), "Nothing");

  struct Case {
    const char* name;
    InvokeKind kind;
    std::size_t count;
  };
  using K = InvokeKind;
  // The value of a let counts; optional arguments may be left out, no more.
  for (const Case& c :
       {Case{"I4", K::PropertyGet, 1}, Case{"I4", K::PropertyPut, 0}, Case{"I4", K::PropertyPut, 2},
        Case{"Other", K::PropertyPutRef, 0}, Case{"Sum", K::Function, 1},
        Case{"Sum", K::Function, 4}, Case{"Reset", K::Function, 1}, Case{"Cell", K::PropertyGet, 0},
        Case{"Cell", K::PropertyPut, 0}, Case{"Cell", K::PropertyPut, 1},
        Case{"Cell", K::PropertyPut, 4}}) {
    const std::vector<Variant> args(c.count, Variant(1));
    EXPECT_EQ(ErrorFrom([&] { InvokeByName(p, c.name, c.kind, args); }).Number(), kWrongArguments)
        << c.name << " with " << c.count;
  }
}

TEST(InvokeByName, ParameterisedPropertiesMethodsReadOnlyAndWriteOnlyMembersAndClientErrors) {
  ObjectRef p = NewProbe();
  // Optional arguments may be left out.
  const Variant row(std::int32_t{3});
  const Variant col(std::int32_t{4});
  EXPECT_EQ(Get(p, "Cell", {row}), Variant(300));
  EXPECT_EQ(Get(p, "Cell", {row, col}), Variant(304));
  EXPECT_EQ(Get(p, "Cell", {Variant("2"), col}), Variant(204));

  Call(p, "Cell", InvokeKind::PropertyPut, {row, col, Variant(9)});
  EXPECT_EQ(p.As<Probe>()->last_cell, "3,4=9");  // the value converted to String
  Call(p, "Cell", InvokeKind::PropertyPut, {row, Variant("x")});
  EXPECT_EQ(p.As<Probe>()->last_cell, "3,-=x");

  const Variant a(std::int32_t{2});
  const Variant b(std::int32_t{3});
  EXPECT_EQ(Call(p, "Sum", InvokeKind::Function, {a, b}), Variant(5));
  EXPECT_EQ(Call(p, "Sum", InvokeKind::Function, {a, b, Variant("10")}), Variant(15));
  Let(p, "I4", a);
  EXPECT_TRUE(Call(p, "Reset", InvokeKind::Function).IsEmpty());
  EXPECT_EQ(Get(p, "I4"), Variant(0));
  EXPECT_EQ(ErrorFrom([&] { Get(p, "Sum"); }).Number(), kNotSupported);

  EXPECT_EQ(Get(p, "Fixed"), Variant(7));
  EXPECT_EQ(ErrorFrom([&] { Let(p, "Fixed", a); }).Number(), kNotSupported);
  Let(p, "Secret", Variant("31"));
  EXPECT_EQ(p.As<Probe>()->secret, 31);
  EXPECT_EQ(ErrorFrom([&] { Get(p, "Secret"); }).Number(), kNotSupported);

  // Automation errors as raised; other exceptions as error 440.
  for (const auto& [name, number, description] :
       {std::tuple{"Fails", 1234, "custom failure"}, std::tuple{"Throws", 440, "disk on fire"},
        std::tuple{"ThrowsInt", 440, "Automation error"}}) {
    const AutomationError e = test_support::ErrorFrom([&, n = name] { Get(p, n); });
    EXPECT_EQ(e.Number(), number) << name;
    EXPECT_EQ(e.Description(), description);
  }
  Let(p, "Guarded", Variant(4));
  EXPECT_EQ(ErrorFrom([&] { Let(p, "Guarded", Variant(-4)); }).Number(), kInvalidPropertyValue);
  EXPECT_EQ(Get(p, "Guarded"), Variant(4));
}

TEST(InvokeByName, MembersAndFieldsRefuseAnotherClassesInstanceAndKeepWhatTheyRefuse) {
  // A member of one class invoked on an instance of another is refused, not
  // applied to the wrong C++ object.
  struct Other {
    double x = 0;
  };
  ObjectRef other = MakeObject<Other>(ClassBuilder<Other>("Other").BuildInfo());
  const InterfaceDescription& probe = *ProbeClass()->Interface();
  const MemberDescription* get = probe.Find("I4", InvokeKind::PropertyGet);
  ASSERT_NE(get, nullptr);
  EXPECT_EQ(ErrorFrom([&] { get->Invoke(*other, {}); }).Number(), kNotSupported);
  // Values that need no conversion, an object reference, an array of the
  // declared type: each assignment is refused all the same.
  for (const auto& [name, kind, value] :
       {std::tuple{"I4", InvokeKind::PropertyPut, Variant(1)},
        std::tuple{"Other", InvokeKind::PropertyPutRef, Variant(NewProbe())},
        std::tuple{"Longs", InvokeKind::PropertyPut, Variant(LongArray({1}))}}) {
    const MemberDescription* put = probe.Find(name, kind);
    EXPECT_EQ(ErrorFrom([&, v = &value] {
                put->Invoke(*other, {v, 1});
              }).Number(),
              kNotSupported)
        << name;
  }
  // The direct field access refuses the same way.
  const detail::FieldAccess* field = get->Field();
  ASSERT_NE(field, nullptr);
  ObjectRef mine = NewProbe();
  EXPECT_FALSE(field->CopyValue(*mine, *other));
  EXPECT_FALSE(field->CopyValue(*other, *mine));
  const detail::FieldAccess* object_field = probe.Find("Other", InvokeKind::PropertyGet)->Field();
  ASSERT_NE(object_field, nullptr);
  EXPECT_EQ(object_field->ObjectIn(*other), nullptr);
  EXPECT_FALSE(object_field->SetObject(*other, mine));
  EXPECT_EQ(ErrorFrom([&] { MakeObject<Other>(ProbeClass()); }).Number(), kInvalidProcedureCall);
  EXPECT_EQ(ErrorFrom([&] { MakeObject<Other>(nullptr); }).Number(), kInvalidProcedureCall);

  // Taking a value or a reference loses nothing the field does not assign: a
  // string goes into the field; a value that needs a conversion is refused
  // and stays with the caller.
  const detail::FieldAccess* text = probe.Find("Text", InvokeKind::PropertyPut)->DirectField();
  const detail::FieldAccess* ref = probe.Find("Other", InvokeKind::PropertyPutRef)->DirectField();
  ASSERT_NE(text, nullptr);
  ASSERT_NE(ref, nullptr);
  Variant value("a string long enough to live outside the small buffer");
  EXPECT_TRUE(text->TakeValue(*mine, value));
  EXPECT_EQ(mine.As<Probe>()->text, "a string long enough to live outside the small buffer");
  Variant number(std::int32_t{5});
  EXPECT_FALSE(text->TakeValue(*mine, number));
  EXPECT_EQ(number, Variant(5));
  EXPECT_FALSE(ref->TakeValue(*mine, number));
  // A reference goes into an object field, and stays with the caller where the
  // field is not of that instance's class.
  ObjectRef sub = NewProbe();
  const Instance* sub_instance = sub.get();
  EXPECT_FALSE(ref->TakeObject(*other, sub));
  EXPECT_EQ(sub.get(), sub_instance);
  EXPECT_FALSE(text->TakeObject(*mine, sub));
  EXPECT_EQ(sub.get(), sub_instance);
  EXPECT_TRUE(ref->TakeObject(*mine, sub));
  EXPECT_EQ(mine.As<Probe>()->other.get(), sub_instance);
}

TEST(InterfaceDescription, LookupByNameAndIdentifierFindsTheFirstMember) {
  const auto iface = ProbeClass()->Interface();
  EXPECT_TRUE(iface->Members()[0].Hidden());  // "_Default", the value member
  EXPECT_EQ(iface->Members()[0].MemberId(), kDispIdValue);
  const MemberDescription* get = iface->Find("Any", InvokeKind::PropertyGet);
  const MemberDescription* let = iface->Find("Any", InvokeKind::PropertyPut);
  const MemberDescription* set = iface->Find("Any", InvokeKind::PropertyPutRef);
  ASSERT_TRUE(get && let && set);
  EXPECT_EQ(get->InvokeKind(), InvokeKind::PropertyGet);
  EXPECT_EQ(set->InvokeKind(), InvokeKind::PropertyPutRef);
  EXPECT_EQ(iface->Find("Any", InvokeKind::Function), nullptr);
  EXPECT_EQ(iface->Find("Fixed", InvokeKind::PropertyPut), nullptr);
  EXPECT_TRUE(iface->HasName("Secret"));
  EXPECT_FALSE(iface->HasName("secret"));

  // The accessors of a property share one identifier; properties differ.
  EXPECT_EQ(get->MemberId(), let->MemberId());
  EXPECT_EQ(get->MemberId(), set->MemberId());
  EXPECT_NE(get->MemberId(), iface->Find("Other", InvokeKind::PropertyGet)->MemberId());
  EXPECT_EQ(iface->FindById(get->MemberId(), InvokeKind::PropertyPutRef), set);
  EXPECT_EQ(iface->FindById(kDispIdValue, InvokeKind::PropertyGet)->Name(), "_Default");
  EXPECT_EQ(iface->FindById(kDispIdUnknown, InvokeKind::PropertyGet), nullptr);

  ObjectRef p = NewProbe();
  Let(p, "I4", Variant(8));
  EXPECT_EQ(InvokeById(p, kDispIdValue, InvokeKind::PropertyGet), Variant(8));
  EXPECT_EQ(ErrorFrom([&] { InvokeById(p, 12345, InvokeKind::PropertyGet); }).Number(),
            kNotSupported);
  EXPECT_EQ(ValueOf(Variant(p)), Variant(8));

  // Of two members of one name and kind the first wins; one without a body fails.
  std::vector<MemberDescription> members;
  members.emplace_back("X", InvokeKind::PropertyGet, VarType::I4,
                       [](Instance&, std::span<const Variant>) { return Variant(1); });
  members.emplace_back("X", InvokeKind::PropertyGet, VarType::I4,
                       [](Instance&, std::span<const Variant>) { return Variant(2); });
  members.emplace_back("Y", InvokeKind::PropertyGet, VarType::I4, MemberFunction());
  auto twice = std::make_shared<const InterfaceDescription>("_T", std::move(members));
  ASSERT_EQ(twice->Members().size(), 3U);
  EXPECT_EQ(twice->Find("X", InvokeKind::PropertyGet), &twice->Members()[0]);

  struct Empty {};
  auto info = std::make_shared<const ClassInfo>("T", twice, typeid(Empty));
  ObjectRef t = MakeObject<Empty>(info);
  EXPECT_EQ(Get(t, "X"), Variant(1));
  EXPECT_EQ(ErrorFrom([&] { Get(t, "Y"); }).Number(), kNotSupported);  // no body
}

TEST(SampleServer, MembersBehaveAsDocumented) {
  orders::RegisterOrdersServer();
  ObjectRef invoice = orders::MakeSampleInvoice();
  EXPECT_EQ(Get(invoice, "Total"), Variant(Currency{1362000}));
  EXPECT_EQ(ErrorFrom([&] { Get(invoice, "Note", {Variant(10)}); }).Number(), kSubscriptOutOfRange);

  // AddLine links the line back to the invoice; the link does not keep it alive.
  ObjectRef line = CreateByProgId("OrdersLib.Line");
  EXPECT_EQ(ErrorFrom([&] { Let(line, "Quantity", Variant(-1)); }).Number(), kInvalidPropertyValue);
  EXPECT_EQ(Call(invoice, "AddLine", InvokeKind::Function, {Variant(line)}), Variant(3));
  EXPECT_EQ(Get(line, "Parent").Object(), invoice);
  EXPECT_EQ(ErrorFrom([&] {
              Call(invoice, "AddLine", InvokeKind::Function, {Variant(invoice)});
            }).Number(),
            kTypeMismatch);
  // Totals past the largest Currency raise Overflow, never wrap.
  const Currency huge{std::int64_t{1} << 62};
  Let(line, "UnitPrice", Variant(huge));
  EXPECT_EQ(Get(line, "Total"), Variant(huge));
  Call(invoice, "AddLine", InvokeKind::Function, {Variant(line)});  // the same line twice
  EXPECT_EQ(ErrorFrom([&] { Get(invoice, "Total"); }).Number(), kOverflow);
  Let(line, "Quantity", Variant(3));
  EXPECT_EQ(ErrorFrom([&] { Get(line, "Total"); }).Number(), kOverflow);

  invoice.Reset();
  EXPECT_TRUE(Get(line, "Parent").Object().IsNull());
}

}  // namespace
