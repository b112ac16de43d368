// Fields of ordinary C++ types declared as properties: enums, wider integers,
// std::optional, std::vector, <chrono> time points and Ref<T> links, read and
// assigned late-bound, copied and streamed by the component.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "replikon/control/replikon.hpp"
#include "replikon/server.hpp"
#include "test_support.hpp"

namespace replikon::testing {
namespace {

using namespace std::chrono_literals;
using test_support::ErrorFrom;
using Ms = std::chrono::sys_time<std::chrono::milliseconds>;

enum class Color : std::int32_t { Red = 1, Green = 2, Blue = 4 };
constexpr auto AutomationEnumerators(Color) {
  return std::array{Color::Red, Color::Green, Color::Blue};
}
enum Size : std::int16_t { Small, Medium, Large };
constexpr auto AutomationEnumerators(Size) {
  return std::array{Small, Medium, Large};
}
enum class Flags : std::uint8_t { None = 0, Bold = 1, Italic = 2 };
constexpr OpenEnum AutomationEnumerators(Flags) {
  return kOpenEnum;
}

struct Part {
  std::int32_t id = 0;
};
struct Stranger {
  std::int32_t id = 0;
};

struct Everything {
  Color color = Color::Red;
  Size size = Small;
  Flags flags = Flags::None;
  std::int64_t big = 0;
  long long bigger = 0;
  std::uint32_t unsigned32 = 0;
  std::uint64_t unsigned64 = 0;
  std::optional<std::int32_t> maybe_count;
  std::optional<std::string> maybe_name;
  std::optional<Color> maybe_color;
  std::vector<std::int32_t> numbers;
  std::vector<std::string> names;
  std::vector<bool> bits;
  std::vector<Color> colors;
  std::vector<std::int64_t> bigs;
  std::vector<std::chrono::sys_days> days;
  std::vector<ObjectRef> objects;
  std::vector<Ref<Part>> parts;
  std::chrono::sys_days day{};
  std::chrono::system_clock::time_point when{};
  Ref<Part> part;
};

constexpr std::chrono::sys_days kDay = std::chrono::year{2024} / 2 / 29;

class NaturalMembers : public ::testing::Test {
 protected:
  NaturalMembers() : lib_("Natural") {
    lib_.Class<Everything>("Everything")
        .Property("Color", &Everything::color)
        .Property("Size", &Everything::size)
        .Property("Flags", &Everything::flags)
        .Property("Big", &Everything::big)
        .Property("Bigger", &Everything::bigger)
        .Property("Unsigned32", &Everything::unsigned32)
        .Property("Unsigned64", &Everything::unsigned64)
        .Property("MaybeCount", &Everything::maybe_count)
        .Property("MaybeName", &Everything::maybe_name)
        .Property("MaybeColor", &Everything::maybe_color)
        .Property("Numbers", &Everything::numbers)
        .Property("Names", &Everything::names)
        .Property("Bits", &Everything::bits)
        .Property("Colors", &Everything::colors)
        .Property("Bigs", &Everything::bigs)
        .Property("Days", &Everything::days)
        .Property("Objects", &Everything::objects)
        .Property("Parts", &Everything::parts)
        .Property("Day", &Everything::day)
        .Property("When", &Everything::when)
        .Property("Part", &Everything::part);
    lib_.Class<Part>("Part").Property("Id", &Part::id);
    lib_.Class<Stranger>("Stranger").Property("Id", &Stranger::id);
    registry_.Register(lib_);
    control_.SetObjectServerName("Natural");
    control_.SetRaiseRecursionCheckEvent(false);
  }
  void TearDown() override {
    for (const char* c : {"Natural.Everything", "Natural.Part", "Natural.Stranger"}) {
      EXPECT_EQ(registry_.LiveInstances(c), 0) << c << " instances left alive";
    }
  }

  ObjectRef NewPart(std::int32_t id) {
    ObjectRef o = registry_.CreateByProgId("Natural.Part");
    o.As<Part>()->id = id;
    return o;
  }

  // An object with a value other than the initial one in every field.
  ObjectRef Filled() {
    ObjectRef o = registry_.CreateByProgId("Natural.Everything");
    Everything& e = *o.As<Everything>();
    e.color = Color::Blue;
    e.size = Large;
    e.flags = static_cast<Flags>(3);  // Bold | Italic: no enumerator, but open
    e.big = std::numeric_limits<std::int64_t>::min();
    e.bigger = 9'007'199'254'740'993LL;  // 2^53 + 1: no double holds it
    e.unsigned32 = 4'000'000'000u;
    e.unsigned64 = std::numeric_limits<std::uint64_t>::max();
    e.maybe_count = 0;
    e.maybe_color = Color::Green;
    e.numbers = {3, -1, 7};
    e.names = {"a", "", "c"};
    e.bits = {true, false, true};
    e.colors = {Color::Green, Color::Red};
    e.bigs = {std::numeric_limits<std::int64_t>::max(), -5};
    e.days = {kDay, kDay + std::chrono::days{1}};
    e.day = kDay;
    e.when = Ms(kDay) + 13h + 5min + 7s + 123ms;
    e.objects = {NewPart(1), ObjectRef()};
    e.parts = {Ref<Part>(NewPart(2)), Ref<Part>()};
    e.part = Ref<Part>(NewPart(3));
    return o;
  }
  static auto Values(const Everything& e) {
    return std::tie(e.color, e.size, e.flags, e.big, e.bigger, e.unsigned32, e.unsigned64,
                    e.maybe_count, e.maybe_name, e.maybe_color, e.numbers, e.names, e.bits,
                    e.colors, e.bigs, e.days, e.day, e.when);
  }

  // The Id of a Part; -1 for nothing, -2 for an object of another class.
  static std::int32_t Id(const ObjectRef& o) {
    return o.IsNull() ? -1 : o.As<Part>() != nullptr ? o.As<Part>()->id : -2;
  }

  // The values of Filled(), the objects compared by their Id. A plain Stream
  // leaves the arrays of objects as the new object has them: empty.
  void ExpectFilled(const Everything& e, bool object_arrays = true) {
    const ObjectRef want = Filled();
    EXPECT_EQ(Values(e), Values(*want.As<Everything>()));
    std::vector<std::int32_t> ids{Id(e.part.Object())};
    for (const ObjectRef& o : e.objects) ids.push_back(Id(o));
    for (const Ref<Part>& p : e.parts) ids.push_back(Id(p.Object()));
    EXPECT_EQ(ids, (object_arrays ? std::vector<std::int32_t>{3, 1, -1, 2, -1}
                                  : std::vector<std::int32_t>{3}));
  }

  ClassRegistry registry_;
  Server lib_;
  Replikon control_{nullptr, registry_};
};

TEST_F(NaturalMembers, EachFieldIsDeclaredAndGotAsItsAutomationType) {
  ObjectRef o = Filled();
  const auto iface = DescribeObject(o);
  const auto type_of = [&](const char* name, InvokeKind kind) {
    const MemberDescription* m = iface->Find(name, kind);
    return m == nullptr ? VarType::Null : m->PropertyType().VarType();
  };
  const struct {
    const char* name;
    VarType type;
  } expected[] = {
      {"Color", VarType::I4},
      {"Size", VarType::I2},
      {"Flags", VarType::I2},
      {"Big", VarType::Decimal},
      {"Bigger", VarType::Decimal},
      {"Unsigned32", VarType::Decimal},
      {"Unsigned64", VarType::Decimal},
      {"MaybeCount", VarType::Variant},
      {"MaybeName", VarType::Variant},
      {"MaybeColor", VarType::Variant},
      {"Numbers", VarType::Array | VarType::I4},
      {"Names", VarType::Array | VarType::BStr},
      {"Bits", VarType::Array | VarType::Bool},
      {"Colors", VarType::Array | VarType::I4},
      {"Bigs", VarType::Array | VarType::Decimal},
      {"Days", VarType::Array | VarType::Date},
      {"Objects", VarType::Array | VarType::Dispatch},
      {"Parts", VarType::Array | VarType::Dispatch},
      {"Day", VarType::Date},
      {"When", VarType::Date},
  };
  for (const auto& e : expected) {
    SCOPED_TRACE(e.name);
    EXPECT_EQ(type_of(e.name, InvokeKind::PropertyGet), e.type);
    EXPECT_EQ(type_of(e.name, InvokeKind::PropertyPut), e.type);
    EXPECT_EQ(type_of(e.name, InvokeKind::PropertyPutRef), VarType::Null);
  }
  EXPECT_EQ(type_of("Part", InvokeKind::PropertyGet), VarType::Dispatch);
  EXPECT_EQ(type_of("Part", InvokeKind::PropertyPutRef), VarType::Dispatch);
  EXPECT_EQ(type_of("Part", InvokeKind::PropertyPut), VarType::Null);

  const auto get = [&](const char* name) { return InvokeByName(o, name, InvokeKind::PropertyGet); };
  EXPECT_EQ(get("Color"), Variant(std::int32_t{4}));
  EXPECT_EQ(get("Size"), Variant(std::int16_t{2}));
  EXPECT_EQ(get("Bigger"), Variant(DecimalFromString("9007199254740993")));
  EXPECT_EQ(get("Unsigned64"), Variant(DecimalFromString("18446744073709551615")));
  EXPECT_EQ(get("MaybeCount"), Variant(std::int32_t{0}));
  EXPECT_TRUE(get("MaybeName").IsEmpty());
  const Variant numbers = get("Numbers");  // Array() raises for a value that is no array
  ASSERT_EQ(numbers.Array().Dims(), 1u);
  EXPECT_EQ(numbers.Array().Bounds()[0], (ArrayBound{0, 2}));
  EXPECT_EQ(numbers.Array().Get({2}), Variant(std::int32_t{7}));
  EXPECT_EQ(get("Colors").Array().Get({0}), Variant(std::int32_t{2}));
  EXPECT_EQ(get("Days").Array().Get({1}), Variant(DateFromTime(Ms(kDay + std::chrono::days{1}))));
  EXPECT_EQ(ToBStr(get("When")), "2024-02-29 13:05:07");
  EXPECT_EQ(get("Part").Object().As<Part>()->id, 3);
  EXPECT_EQ(get("Parts").Array().Get({0}).Object().As<Part>()->id, 2);
  // An empty vector is an empty array from 0; a value that the client's own
  // code put in a closed enum field reads as it is (its let would refuse it).
  o.As<Everything>()->numbers.clear();
  EXPECT_EQ(get("Numbers").Array().Bounds()[0], (ArrayBound{0, -1}));
  o.As<Everything>()->color = static_cast<Color>(3);
  EXPECT_EQ(get("Color"), Variant(std::int32_t{3}));
}

TEST_F(NaturalMembers, CopyAndStreamGiveEveryValue) {
  ObjectRef source = Filled();
  ObjectRef copy = control_.Copy(source);
  ASSERT_NE(copy.As<Everything>(), nullptr);
  ExpectFilled(*copy.As<Everything>());
  // The link is a subobject, copied; the arrays of objects are values and
  // share their objects, as any array property's do.
  EXPECT_NE(copy.As<Everything>()->part.Object(), source.As<Everything>()->part.Object());
  EXPECT_EQ(copy.As<Everything>()->parts[0].Object(), source.As<Everything>()->parts[0].Object());
  // Arrays of objects are not rebuilt from a plain Stream.
  ObjectRef back = control_.ObjectFromStream(control_.StreamFromObject(source));
  ASSERT_NE(back.As<Everything>(), nullptr);
  ExpectFilled(*back.As<Everything>(), false);

  // With identity kept, the copy's arrays hold copies, and a Stream holds them.
  control_.SetPreserveIdentity(true);
  ObjectRef deep = control_.Copy(source);
  ExpectFilled(*deep.As<Everything>());
  EXPECT_NE(deep.As<Everything>()->parts[0].Object(), source.As<Everything>()->parts[0].Object());
  ExpectFilled(*control_.ObjectFromStream(control_.StreamFromObject(source)).As<Everything>());
}

TEST_F(NaturalMembers, LetsConvertTheValueOrRefuseItLeavingTheFieldUnchanged) {
  ObjectRef o = Filled();
  const auto let = [&](const char* name, const Variant& v,
                       InvokeKind kind = InvokeKind::PropertyPut) {
    return ErrorFrom([&] { InvokeByName(o, name, kind, {&v, 1}); }).Number();
  };
  EXPECT_EQ(let("Color", Variant(std::int32_t{3})), errors::kInvalidPropertyValue);
  EXPECT_EQ(let("Size", Variant(std::int32_t{70000})), errors::kOverflow);
  EXPECT_EQ(let("Flags", Variant(std::int32_t{256})), errors::kOverflow);
  EXPECT_EQ(let("Big", Variant(DecimalFromString("9223372036854775808"))), errors::kOverflow);
  EXPECT_EQ(let("Unsigned32", Variant(DecimalFromString("4294967296"))), errors::kOverflow);
  EXPECT_EQ(let("Unsigned64", Variant(std::int32_t{-1})), errors::kOverflow);
  EXPECT_EQ(let("MaybeColor", Variant(std::int32_t{8})), errors::kInvalidPropertyValue);
  EXPECT_EQ(let("Numbers", Variant(std::int32_t{1})), errors::kTypeMismatch);
  SafeArray bad(VarType::BStr, {ArrayBound{0, 1}});
  bad.Set({0}, Variant("1"));
  bad.Set({1}, Variant("x"));
  EXPECT_EQ(let("Numbers", Variant(bad)), errors::kTypeMismatch);
  EXPECT_EQ(let("Numbers", Variant(SafeArray(VarType::I4, {ArrayBound{0, 0}, ArrayBound{0, 0}}))),
            errors::kTypeMismatch);
  SafeArray bad_colors(VarType::I4, {ArrayBound{0, 1}});
  bad_colors.Set({0}, Variant(std::int32_t{1}));
  bad_colors.Set({1}, Variant(std::int32_t{5}));
  EXPECT_EQ(let("Colors", Variant(bad_colors)), errors::kInvalidPropertyValue);
  // A date that the field's clock cannot hold.
  EXPECT_EQ(let("When", Variant("9999-12-31")), errors::kOverflow);
  EXPECT_EQ(let("Day", Variant(kNull)), errors::kInvalidUseOfNull);

  ObjectRef stranger = registry_.CreateByProgId("Natural.Stranger");
  EXPECT_EQ(let("Part", Variant(stranger), InvokeKind::PropertyPutRef), errors::kTypeMismatch);
  SafeArray mixed(VarType::Dispatch, {ArrayBound{0, 1}});
  mixed.SetRef({0}, NewPart(4));
  mixed.SetRef({1}, stranger);
  EXPECT_EQ(let("Parts", Variant(mixed)), errors::kTypeMismatch);
  EXPECT_EQ(ErrorFrom([&] { Ref<Part> wrong(stranger); }).Number(), errors::kTypeMismatch);

  ExpectFilled(*o.As<Everything>());

  Everything& e = *o.As<Everything>();
  EXPECT_EQ(let("Part", Variant(ObjectRef()), InvokeKind::PropertyPutRef), 0);
  EXPECT_TRUE(e.part.IsNull());

  // Lets that convert, on the filled object.
  EXPECT_EQ(let("Color", Variant("2")), 0);
  EXPECT_EQ(let("Big", Variant(-12.0)), 0);
  EXPECT_EQ(let("Unsigned32", Variant(DecimalFromString("4294967295"))), 0);
  EXPECT_EQ(let("Day", Variant("2024-03-01 23:59:59")), 0);  // the day a Date falls on
  EXPECT_EQ(let("When", Variant(DateFromTime(Ms(kDay) + 999ms))), 0);
  EXPECT_EQ(
      std::tie(e.color, e.big, e.unsigned32, e.day, e.when),
      std::tuple(Color::Green, -12, 4294967295u, kDay + std::chrono::days{1}, Ms(kDay) + 999ms));
  EXPECT_EQ(let("MaybeCount", Variant("41")), 0);
  EXPECT_EQ(e.maybe_count, std::optional<std::int32_t>(41));
  EXPECT_EQ(let("MaybeCount", Variant()), 0);
  EXPECT_EQ(e.maybe_count, std::nullopt);
  e.maybe_count = 5;
  EXPECT_EQ(let("MaybeCount", Variant(kNull)), 0);
  EXPECT_EQ(e.maybe_count, std::nullopt);

  // An array of another element type and lower bound, element by element.
  SafeArray shorts(VarType::Variant, {ArrayBound{1, 3}});
  shorts.Set({1}, Variant(std::int16_t{5}));
  shorts.Set({2}, Variant("6"));
  shorts.Set({3}, Variant(7.0));
  EXPECT_EQ(let("Numbers", Variant(shorts)), 0);
  EXPECT_EQ(e.numbers, (std::vector<std::int32_t>{5, 6, 7}));
  EXPECT_EQ(let("Bigs", Variant(shorts)), 0);
  EXPECT_EQ(e.bigs, (std::vector<std::int64_t>{5, 6, 7}));
  EXPECT_EQ(let("Colors", Variant(SafeArray(VarType::I4))), 0);  // no dimensions: empty
  EXPECT_TRUE(e.colors.empty());

  // The caller's own variables take the same path.
  Variant parts(SafeArray(VarType::Variant, {ArrayBound{5, 5}}));
  parts.MutableArray().SetRef({5}, NewPart(9));
  InvokeByNameRef(o, "Parts", InvokeKind::PropertyPut, {&parts, 1});
  ASSERT_EQ(e.parts.size(), 1u);
  EXPECT_EQ(e.parts[0]->id, 9);
}

TEST(DateAndChrono, ConversionsAreExactToTheMillisecond) {
  const Ms epoch{};
  EXPECT_EQ(DateFromTime(epoch), Date{25569.0});
  // Before 1899-12-30 the time of day still counts forward from midnight.
  const Ms before = Ms(std::chrono::sys_days(std::chrono::year{1899} / 12 / 29)) + 6h;
  EXPECT_EQ(DateFromTime(before), Date{-1.25});
  EXPECT_EQ(TimeFromDate(Date{-1.25}), before);
  for (const Ms t : {Ms(kDay) + 1ms, Ms(kDay) + 23h + 59min + 59s + 999ms, before + 1ms,
                     Ms(std::chrono::sys_days(std::chrono::year{100} / 1 / 1)),
                     Ms(std::chrono::sys_days(std::chrono::year{9999} / 12 / 31)) + 86399999ms}) {
    EXPECT_EQ(TimeFromDate(DateFromTime(t)), t) << t.time_since_epoch().count();
  }
  EXPECT_EQ(ErrorFrom([] {
              DateFromTime(Ms(std::chrono::sys_days(std::chrono::year{99} / 12 / 31)));
            }).Number(),
            errors::kOverflow);
  EXPECT_EQ(
      ErrorFrom([] { TimeFromDate(Date{std::numeric_limits<double>::quiet_NaN()}); }).Number(),
      errors::kOverflow);
}

TEST(ExactNumbers, CurrencyAndDecimalAsText) {
  EXPECT_EQ(ToString(Currency{-12345}), "-1.2345");
  EXPECT_EQ(CurrencyFromString("2.00005"), Currency{20000});  // half to even
  EXPECT_EQ(ErrorFrom([] { CurrencyFromString("abc"); }).Number(), errors::kTypeMismatch);
  const Decimal d = DecimalFromString("-79228162514264337593543950335");
  EXPECT_EQ(ToString(d), "-79228162514264337593543950335");
  EXPECT_EQ(Int64FromDecimal(DecimalFromString("2.5")), 2);
}

}  // namespace
}  // namespace replikon::testing
