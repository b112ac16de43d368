// The details errors carry: what a reader needs to act on an error beyond its
// number and description. The problems a processing call met (601) with their
// paths from the root, why bytes are no Stream and where (602), and the
// identifier, member or types behind 429, 438, 13 and 450.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "copy/engine_context.hpp"
#include "replikon/control/errors.hpp"
#include "replikon/control/replikon.hpp"
#include "replikon/server.hpp"
#include "replikon/stream/stream_layout.hpp"
#include "test_support.hpp"

namespace replikon {
namespace {

using test_support::BagOf;
using test_support::Bytes;
using test_support::BytesValue;
using test_support::ErrorFrom;
using test_support::ExpectError;
using test_support::ObjectStream;

std::vector<std::string> ListOf(const AutomationError& e) {
  return {e.DetailList().begin(), e.DetailList().end()};
}

// ---- The error itself --------------------------------------------------------------

TEST(ErrorDetails, WhatSummarisesTheDetailsOnOneLine) {
  struct Case {
    std::vector<std::string> details;
    const char* what;
    const char* text;
  };
  const Case cases[] = {
      {{}, "Error 601: Problem(s) in processing occurred", ""},
      {{"Invoice.Carrier: gone"},
       "Error 601: Problem(s) in processing occurred: Invoice.Carrier: gone",
       "Invoice.Carrier: gone"},
      {{"first", "second", "third"},
       "Error 601: Problem(s) in processing occurred: first (+2 more)",
       "first\nsecond\nthird"},
      // Only the first line of a detail goes into the summary.
      {{"one\ntwo"}, "Error 601: Problem(s) in processing occurred: one", "one\ntwo"},
  };
  for (const Case& c : cases) {
    const AutomationError e = ControlError(601, c.details);
    EXPECT_STREQ(e.what(), c.what);
    EXPECT_EQ(e.Details(), c.text);
    EXPECT_EQ(ListOf(e), c.details);
  }
  const AutomationError more = ControlError(602, {"a"}).WithDetail("b");
  EXPECT_EQ(ListOf(more), (std::vector<std::string>{"a", "b"}));
  // A single details text is one detail, as before.
  EXPECT_EQ(ListOf(AutomationError(7, "Out of memory", {}, 0, {}, "where")),
            std::vector<std::string>{"where"});
}

// ---- 601: the problems met, each with its path -------------------------------------

struct Invoice {
  ObjectRef carrier;
  ObjectRef lines;
  SafeArray sections{VarType::Dispatch};
  std::int32_t count = 0;
};

struct Line {
  ObjectRef carrier;
  ObjectRef back;
};

struct Carrier {
  std::string name;
};

// Its Total cannot be read yet.
struct Ledger {
  std::int32_t total = 0;
  ObjectRef carrier;
};

// Server "Shop" makes invoices and lines but no carriers, which come from
// server "Ext": every carrier is an external object. Server "Full" makes all
// three, so that its Streams record carriers that "Shop" cannot make.
class ProblemDetails : public ::testing::Test {
 protected:
  ProblemDetails() : shop_("Shop"), full_("Full"), ext_("Ext") {
    for (Server* server : {&shop_, &full_}) {
      server->Class<Invoice>("Invoice")
          .Property("Carrier", &Invoice::carrier)
          .Property("Lines", &Invoice::lines)
          .ArrayProperty("Sections", &Invoice::sections, VarType::Dispatch)
          .Property("Count", &Invoice::count)
          .Method("Add", [](Invoice&, std::span<const Variant>) { return Variant(); },
                  {ParamDescription{"a", VarType::Variant, false, false},
                   ParamDescription{"b", VarType::Variant, false, true}});
      server->Class<Line>("Line").Property("Carrier", &Line::carrier).Property("Back", &Line::back);
      server->Class<Ledger>("Ledger")
          .Get("Total", VarType::I4,
               [](Ledger&) -> std::int32_t {
                 errors::Raise(errors::kInvalidProcedureCall, "Not balanced");
               })
          .Let("Total", VarType::I4, [](Ledger& l, const Variant& v) { l.total = ToI4(v); })
          .Property("Carrier", &Ledger::carrier);
    }
    full_.Class<Carrier>("Carrier").Property("Name", &Carrier::name);
    ext_.Class<Carrier>("Carrier").Property("Name", &Carrier::name);
    shop_.Class<Carrier>("Sealed").OnInitialize(
        [](Carrier&) { errors::Raise(errors::kPermissionDenied, "Sealed"); });
    shop_.Class<Carrier>("Broken").OnInitialize(
        [](Carrier&) { throw std::runtime_error("no parts"); });
    registry_.Register(shop_);
    registry_.Register(full_);
    registry_.Register(ext_);
    control_.SetObjectServerName("Shop");
  }

  // An invoice of `server` with an external carrier and a line with another:
  // as its Carrier and Lines or, `sectioned`, as its Sections (the line first).
  ObjectRef Order(const std::string& server, bool sectioned = false) {
    const std::string carrier_server = server == "Full" ? "Full" : "Ext";
    ObjectRef invoice = registry_.CreateByProgId(server + ".Invoice");
    ObjectRef line = registry_.CreateByProgId(server + ".Line");
    ObjectRef carrier = registry_.CreateByProgId(carrier_server + ".Carrier");
    line.As<Line>()->carrier = registry_.CreateByProgId(carrier_server + ".Carrier");
    if (!sectioned) {
      invoice.As<Invoice>()->carrier = carrier;
      invoice.As<Invoice>()->lines = line;
      return invoice;
    }
    SafeArray sections(VarType::Dispatch, {ArrayBound{0, 1}});
    sections.SetFlatRef(0, line);
    sections.SetFlatRef(1, carrier);
    invoice.As<Invoice>()->sections = sections;
    return invoice;
  }

  // The Stream of `object` written under server "Full", which makes carriers.
  SafeArray FullStream(const ObjectRef& object, bool preserve_identity) {
    Replikon full(nullptr, registry_);
    full.SetObjectServerName("Full");
    full.SetPreserveIdentity(preserve_identity);
    return full.StreamFromObject(object);
  }

  // The errors of Copy and of StreamFromObject of `object`.
  std::vector<AutomationError> CopyAndWriteErrors(const ObjectRef& object) {
    return {ErrorFrom([&] { control_.Copy(object); }),
            ErrorFrom([&] { control_.StreamFromObject(object); })};
  }

  ClassRegistry registry_;
  Server shop_;
  Server full_;
  Server ext_;
  Replikon control_{nullptr, registry_};
};

TEST_F(ProblemDetails, EachProblemIsListedWithItsPathAndRaisedPropertiesAfterThem) {
  const std::string external =
      R"(: external object of class "Carrier": "Shop.Carrier" cannot be created)";
  const std::string recorded = R"(: class "Carrier": "Shop.Carrier" cannot be created)";
  // Objects in arrays go by their element's name.
  for (const bool arrays : {false, true}) {
    SCOPED_TRACE(arrays ? "arrays" : "properties");
    const std::vector<std::string> paths =
        arrays ? std::vector<std::string>{"Invoice.Sections(0).Carrier", "Invoice.Sections(1)"}
               : std::vector<std::string>{"Invoice.Carrier", "Invoice.Lines.Carrier"};
    const auto check = [&](const AutomationError& e, const std::string& problem) {
      EXPECT_EQ(e.Number(), 601);
      EXPECT_EQ(ListOf(e), (std::vector<std::string>{paths[0] + problem, paths[1] + problem}));
      EXPECT_NE(std::string(e.what()).find(paths[0] + problem + " (+1 more)"), std::string::npos)
          << e.what();
    };
    control_.SetPreserveIdentity(arrays);
    for (const AutomationError& e : CopyAndWriteErrors(Order("Shop", arrays))) check(e, external);
    check(ErrorFrom([&] { control_.ObjectFromStream(FullStream(Order("Full", arrays), arrays)); }),
          recorded);
  }
  // The root itself: no path, the class it is of.
  const ObjectRef carrier = registry_.CreateByProgId("Ext.Carrier");
  EXPECT_EQ(ListOf(ErrorFrom([&] { control_.Copy(carrier); })), std::vector{external.substr(2)});
  EXPECT_EQ(ListOf(ErrorFrom([&] { control_.ObjectFromStream(FullStream(carrier, false)); })),
            std::vector{recorded.substr(2)});

  // A property that raises: passed over alone, listed after the problems.
  ObjectRef ledger = registry_.CreateByProgId("Shop.Ledger");
  for (const AutomationError& e : CopyAndWriteErrors(ledger)) EXPECT_EQ(e.Number(), 0);
  ledger.As<Ledger>()->carrier = registry_.CreateByProgId("Ext.Carrier");
  for (const AutomationError& e : CopyAndWriteErrors(ledger)) {
    EXPECT_EQ(ListOf(e), (std::vector<std::string>{
                             "Ledger.Carrier" + external,
                             "Ledger.Total: its property get raised error 5 (Not balanced)"}));
  }
}

// A class of the server whose initialisation raises: what it raised is said.
TEST_F(ProblemDetails, CreationsThatRaiseSayWhat) {
  const Bytes stream = ObjectStream("Invoice", {{"Carrier", BytesValue(ObjectStream("Sealed"))},
                                                {"Lines", BytesValue(ObjectStream("Broken"))}});
  EXPECT_EQ(ListOf(ErrorFrom([&] { control_.ObjectFromStream(SafeArray::FromBytes(stream)); })),
            (std::vector<std::string>{
                R"(Invoice.Carrier: class "Sealed": "Shop.Sealed" cannot be created )"
                "(its creation raised error 70, Sealed)",
                R"(Invoice.Lines: class "Broken": "Shop.Broken" cannot be created )"
                "(its creation raised error 440, no parts)"}));
}

TEST_F(ProblemDetails, PathsOfDeepGraphsLeaveOutTheirMiddleAndTheListIsCapped) {
  // A chain of 30 lines, the last one's Back an external carrier.
  ObjectRef head = registry_.CreateByProgId("Ext.Carrier");
  for (int i = 0; i < 30; ++i) {
    ObjectRef line = registry_.CreateByProgId("Shop.Line");
    line.As<Line>()->back = std::move(head);
    head = std::move(line);
  }
  const std::string detail =
      "Line.Back.Back.Back.Back.Back... 19 more ....Back.Back.Back.Back.Back.Back: external "
      R"(object of class "Carrier": "Shop.Carrier" cannot be created)";
  for (const AutomationError& e : CopyAndWriteErrors(head))
    EXPECT_EQ(ListOf(e), std::vector{detail});

  constexpr std::size_t kMany = EngineContext::kMaxProblems + 50;
  ObjectRef invoice = registry_.CreateByProgId("Shop.Invoice");
  SafeArray sections(VarType::Dispatch, {ArrayBound{1, static_cast<std::int32_t>(kMany)}});
  for (std::size_t i = 0; i < kMany; ++i) {
    sections.SetFlatRef(i, registry_.CreateByProgId("Ext.Carrier"));
  }
  invoice.As<Invoice>()->sections = sections;
  control_.SetPreserveIdentity(true);
  for (const AutomationError& e : CopyAndWriteErrors(invoice)) {
    ASSERT_EQ(e.DetailList().size(), EngineContext::kMaxProblems + 1);
    EXPECT_EQ(e.DetailList()[0].rfind("Invoice.Sections(1): external object", 0), 0u);
    EXPECT_EQ(e.DetailList().back(), "... and 50 more");
  }
}

// ---- 602: why the bytes are no Stream, and where -----------------------------------

TEST_F(ProblemDetails, NotAStreamSaysWhyAndWhere) {
  // The header word's value follows the bag's header (12 bytes), the key's
  // length (4), the key "@SF#" (4) and the type code (2).
  const std::string word_at = "(offset 22)";
  const SafeArray good = FullStream(Order("Full"), false);
  const Bytes cut(good.ByteSpan().begin(), good.ByteSpan().end() - 3);
  struct Case {
    const char* name;
    Bytes bytes;
    std::string detail;  // the start of the one detail
    std::string offset;  // "(offset N)" it ends with; "" when it names none
  };
  const Case cases[] = {
      {"empty", {}, "the byte array is empty", "(offset 0)"},
      {"no bag", {1, 2, 3}, "not a property bag: too short for a bag header", "(offset 0)"},
      {"cut off", cut, "not a property bag: truncated entry", ""},
      {"no header word", BagOf({{"Name", Variant("x")}}), "a property bag without a header word",
       "(offset 0)"},
      {"header word of text", BagOf({{"@SF#", Variant("seventeen")}}),
       "the header word (\"@SF#\") is a String that does not convert", word_at},
      {"array stream", BagOf({{"@SF#", Variant(33)}}), "an array stream, not an object Stream",
       word_at},
      {"unknown kind", BagOf({{"@SF#", Variant(0x71)}}),
       "the header word names stream kind 112, which is no known kind", word_at},
      // Found by the reader: a nested Stream without a header word, and a
      // graph stream whose objects carry no numbers.
      {"nested without a header word",
       BagOf({{"@SF#", Variant(17)},
              {"@OT#", Variant("Invoice")},
              {"Carrier", Variant(SafeArray::FromBytes(BagOf({{"@OT#", Variant("Line")}})))}}),
       "Invoice.Carrier: a property bag without a header word", ""},
      {"graph without numbers", BagOf({{"@SF#", Variant(0x51)}, {"@OT#", Variant("Invoice")}}),
       "no object number (\"@ID#\") greater than those before it", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const AutomationError e =
        ErrorFrom([&] { control_.ObjectFromStream(SafeArray::FromBytes(c.bytes)); });
    EXPECT_EQ(e.Number(), 602);
    ASSERT_EQ(e.DetailList().size(), 1u);
    const std::string& detail = e.DetailList()[0];
    EXPECT_EQ(detail.rfind(c.detail, 0), 0u) << detail;
    if (!c.offset.empty()) {
      EXPECT_EQ(detail.substr(detail.size() - c.offset.size()), c.offset) << detail;
    }
  }
  // The truncated entry is named by where it starts.
  const std::optional<StreamFault> fault = DiagnoseStream(cut);
  ASSERT_TRUE(fault.has_value());
  EXPECT_NE(fault->reason.find("at offset " + std::to_string(fault->offset)), std::string::npos)
      << fault->reason;
  EXPECT_GT(fault->offset, 0u);
}

// ---- 429, 438, 13, 450: the identifier, the member, the types ----------------------

TEST_F(ProblemDetails, AutomationErrorsNameWhatTheyAreAbout) {
  ObjectRef invoice = registry_.CreateByProgId("Shop.Invoice");
  const Variant text("abc");
  const Variant one(1);
  struct Case {
    std::int32_t number;
    std::vector<std::string> details;
    std::function<void()> call;
  };
  const Case cases[] = {
      {429,
       {R"(no class is registered as "Shop.Nope")"},
       [&] { registry_.CreateByProgId("Shop.Nope"); }},
      {438,
       {R"(Invoice has no property get "Total")"},
       [&] { InvokeByName(invoice, "Total", InvokeKind::PropertyGet); }},
      {438,
       {R"(Invoice has no property let "Add")"},
       [&] {
         InvokeByName(invoice, "Add", InvokeKind::PropertyPut, {&one, 1});
       }},
      {438,
       {"Invoice has no method with the identifier 4242"},
       [&] { InvokeById(invoice, 4242, InvokeKind::Function); }},
      {13,
       {R"(a String ("abc") does not convert to Long)",
        R"(in the property let "Count" of Invoice)"},
       [&] {
         InvokeByName(invoice, "Count", InvokeKind::PropertyPut, {&text, 1});
       }},
      {438, {"Invoice has no default member"}, [&] { ToBStr(Variant(invoice)); }},
      {450,
       {R"(the method "Add" of Invoice takes 1 to 2 arguments, 3 given)"},
       [&] {
         const Variant args[] = {one, one, one};
         InvokeByName(invoice, "Add", InvokeKind::Function, args);
       }},
      {450,
       {R"(the method "Add" of Invoice takes 1 to 2 arguments, 0 given)"},
       [&] { InvokeByName(invoice, "Add", InvokeKind::Function); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.details.front());
    const AutomationError e = ErrorFrom(c.call);
    ExpectError(e, c.number, errors::StandardDescription(c.number));
    EXPECT_EQ(ListOf(e), c.details);
  }
}

}  // namespace
}  // namespace replikon
