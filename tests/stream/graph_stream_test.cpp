// Streams of whole object graphs (PreserveIdentity): each object written once,
// later references written as references, objects carried in arrays.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "automation/bag_codec.hpp"
#include "graph_classes.hpp"
#include "replikon/stream/array_encoding.hpp"
#include "replikon/stream/stream_layout.hpp"
#include "stream/array_codec.hpp"
#include "stream/parsed_stream.hpp"
#include "stream/stream_driver.hpp"

namespace replikon::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;

class GraphStreams : public StreamEngineTest {
 protected:
  GraphStreams() {
    settings_.object_server_name = "Lib";
    settings_.preserve_identity = true;
  }

  ObjectRef NewDoc(const std::string& title) { return classes_.NewDoc(title); }
  // A section whose owner (counted) may be its document.
  ObjectRef NewSection(std::int32_t number, const ObjectRef& owner = {}) {
    ObjectRef o = classes_.NewSection("", {}, number);
    S(o).owner = owner;
    return o;
  }

  ObjectRef RoundTrip(const ObjectRef& root) {
    std::int32_t status = 0;
    const Bytes bytes = Write(root, status);
    EXPECT_EQ(status, 0);
    std::int32_t read_status = 0;
    ObjectRef back = Read(bytes, read_status);
    EXPECT_EQ(read_status, 0);
    return back;
  }

  std::vector<std::string> EventNames() const {
    std::vector<std::string> names;
    for (const auto& e : events_) names.push_back(e.current_object_property);
    return names;
  }

  // Sections whose owner is the document hold it: the cycles go here.
  static void Unlink(const ObjectRef& doc) {
    if (doc.IsNull()) return;
    auto unlink = [](const ObjectRef& o) {
      if (!o.IsNull() && o->Class().Name() == "Section") o.As<Section>()->owner = ObjectRef();
    };
    Doc& d = *doc.As<Doc>();
    unlink(d.main);
    unlink(d.extra);
    if (d.sections.IsAllocated()) {
      for (std::size_t i = 0; i < d.sections.Count(); ++i) {
        const Variant v = d.sections.GetFlat(i);
        if (v.IsObject()) unlink(v.Object());
      }
    }
  }

  ClassRegistry& Registry() override { return classes_.Registry(); }

  GraphClasses classes_;
};

// ---- Shapes that survive ---------------------------------------------------------

TEST_F(GraphStreams, SharedSubobjectStaysOneAndBackPointersCloseTheCycle) {
  ObjectRef doc = NewDoc("d");
  ObjectRef section = NewSection(7, doc);
  S(section).parent = doc;  // and weakly
  doc.As<Doc>()->main = section;
  doc.As<Doc>()->extra = section;

  ObjectRef back = RoundTrip(doc);
  ASSERT_FALSE(back.IsNull());
  const Doc& d = *back.As<Doc>();
  EXPECT_EQ(d.title, "d");
  ASSERT_FALSE(d.main.IsNull());
  EXPECT_EQ(d.main, d.extra);
  EXPECT_NE(d.main, section);
  EXPECT_EQ(d.main.As<Section>()->number, 7);
  EXPECT_EQ(d.main.As<Section>()->owner, back);
  EXPECT_EQ(S(d.main).parent.Lock(), back);

  Unlink(back);
  Unlink(doc);
}

TEST_F(GraphStreams, WithoutTheSettingTodaysResultsStay) {
  ObjectRef doc = NewDoc("d");
  ObjectRef section = NewSection(7, doc);
  doc.As<Doc>()->main = section;
  doc.As<Doc>()->extra = section;
  settings_.preserve_identity = false;

  std::int32_t status = 0;
  const Bytes bytes = Write(doc, status);
  EXPECT_EQ(status, 601);  // the back-pointer is a subobject problem
  EXPECT_EQ(BagReader(bytes).ReadProperty(kHeaderKey), Variant(17));
  std::int32_t read_status = 0;
  ObjectRef back = Read(bytes, read_status);
  EXPECT_EQ(read_status, 0);
  ASSERT_FALSE(back.IsNull());
  EXPECT_NE(back.As<Doc>()->main, back.As<Doc>()->extra);  // two objects
  EXPECT_TRUE(back.As<Doc>()->main.As<Section>()->owner.IsNull());
  Unlink(doc);
}

TEST_F(GraphStreams, ObjectsAReaderDoesNotMakeAreNeverReferredTo) {
  ObjectRef holder = classes_.Registry().CreateByProgId("Lib.Holder");
  ObjectRef a = NewSection(1);
  ObjectRef b = NewSection(2);
  holder.As<Holder>()->fixed = a;
  holder.As<Holder>()->any = Variant(b);
  holder.As<Holder>()->first = a;
  holder.As<Holder>()->second = b;

  ObjectRef back = RoundTrip(holder);
  ASSERT_FALSE(back.IsNull());
  const Holder& h = *back.As<Holder>();
  ASSERT_FALSE(h.first.IsNull());
  ASSERT_FALSE(h.second.IsNull());
  EXPECT_EQ(h.first.As<Section>()->number, 1);
  EXPECT_EQ(h.second.As<Section>()->number, 2);
}

TEST_F(GraphStreams, ObjectArraysComeBackWithTheirObjects) {
  ObjectRef doc = NewDoc("d");
  ObjectRef a = NewSection(1, doc);
  ObjectRef b = NewSection(2, doc);
  SafeArray sections(VarType::Dispatch, {ArrayBound{1, 4}});
  sections.SetRef({1}, a);
  sections.SetRef({2}, b);
  sections.SetRef({4}, a);  // element 3 stays Nothing
  doc.As<Doc>()->sections = sections;
  doc.As<Doc>()->main = b;

  ObjectRef back = RoundTrip(doc);
  ASSERT_FALSE(back.IsNull());
  const SafeArray& s = back.As<Doc>()->sections;
  ASSERT_EQ(s.ElementType(), VarType::Dispatch);
  ASSERT_EQ(s.Dims(), 1u);
  EXPECT_EQ(s.Bounds()[0], (ArrayBound{1, 4}));
  const ObjectRef a2 = s.Get({1}).Object();
  const ObjectRef b2 = s.Get({2}).Object();
  ASSERT_FALSE(a2.IsNull());
  ASSERT_FALSE(b2.IsNull());
  EXPECT_EQ(a2.As<Section>()->number, 1);
  EXPECT_EQ(b2.As<Section>()->number, 2);
  EXPECT_TRUE(s.Get({3}).Object().IsNull());
  EXPECT_EQ(s.Get({4}).Object(), a2);
  EXPECT_EQ(back.As<Doc>()->main, b2);
  EXPECT_EQ(a2.As<Section>()->owner, back);

  // The events name the elements, in order.
  const auto names = EventNames();
  EXPECT_NE(std::find(names.begin(), names.end(), "Sections(3)"), names.end());
  EXPECT_NE(std::find(names.begin(), names.end(), "Sections(4)"), names.end());
  Unlink(back);
  Unlink(doc);
}

TEST_F(GraphStreams, VariantArraysTwoDimensionsNegativeBoundsAndNesting) {
  ObjectRef doc = NewDoc("d");
  ObjectRef a = NewSection(1);
  ObjectRef b = NewSection(2);
  SafeArray grid(VarType::Variant, {ArrayBound{-1, 0}, ArrayBound{1, 2}});
  grid.SetRef({-1, 1}, a);
  grid.Set({-1, 2}, Variant(42));
  grid.Set({0, 1}, Variant("text"));
  SafeArray inner(VarType::Variant, {ArrayBound{0, 2}});
  inner.SetRef({0}, b);
  inner.SetRef({1}, a);
  inner.Set({2}, Variant(2.5));
  grid.Set({0, 2}, Variant(inner));
  doc.As<Doc>()->grid = grid;
  // A Variant property holding a Variant array of objects.
  SafeArray list(VarType::Variant, {ArrayBound{0, 1}});
  list.SetRef({0}, b);
  list.Set({1}, Variant(SafeArray(VarType::I4, {ArrayBound{0, 0}})));
  doc.As<Doc>()->items = Variant(list);

  ObjectRef back = RoundTrip(doc);
  ASSERT_FALSE(back.IsNull());
  const SafeArray& g = back.As<Doc>()->grid;
  ASSERT_EQ(g.Dims(), 2u);
  EXPECT_EQ(g.Bounds()[0], (ArrayBound{-1, 0}));
  EXPECT_EQ(g.Bounds()[1], (ArrayBound{1, 2}));
  const ObjectRef a2 = g.Get({-1, 1}).Object();
  ASSERT_FALSE(a2.IsNull());
  EXPECT_EQ(a2.As<Section>()->number, 1);
  EXPECT_EQ(g.Get({-1, 2}), Variant(42));
  EXPECT_EQ(g.Get({0, 1}), Variant("text"));
  const Variant nested = g.Get({0, 2});
  ASSERT_TRUE(nested.IsArray());
  const ObjectRef b2 = nested.Array().Get({0}).Object();
  ASSERT_FALSE(b2.IsNull());
  EXPECT_EQ(b2.As<Section>()->number, 2);
  EXPECT_EQ(nested.Array().Get({1}).Object(), a2);
  EXPECT_EQ(nested.Array().Get({2}), Variant(2.5));

  const Variant& l = back.As<Doc>()->items;
  ASSERT_TRUE(l.IsArray());
  EXPECT_EQ(l.Array().Get({0}).Object(), b2);
  ASSERT_TRUE(l.Array().Get({1}).IsArray());
  EXPECT_EQ(l.Array().Get({1}).Array().ElementType(), VarType::I4);

  const auto names = EventNames();
  EXPECT_NE(std::find(names.begin(), names.end(), "Grid(-1,1)"), names.end());
  EXPECT_NE(std::find(names.begin(), names.end(), "Grid(0,2)(0)"), names.end());
}

TEST_F(GraphStreams, CancelOnAnElementLeavesItAsTheArrayWasMade) {
  ObjectRef doc = NewDoc("d");
  SafeArray sections(VarType::Dispatch, {ArrayBound{0, 2}});
  for (std::int32_t i = 0; i <= 2; ++i) sections.SetRef({i}, NewSection(i));
  doc.As<Doc>()->sections = sections;
  std::int32_t status = 0;
  const Bytes bytes = Write(doc, status);
  ASSERT_EQ(status, 0);

  // Cancelled while reading.
  cancel_property_ = "Sections(1)";
  std::int32_t read_status = 0;
  ObjectRef back = Read(bytes, read_status);
  EXPECT_EQ(read_status, 0);
  const SafeArray& s = back.As<Doc>()->sections;
  ASSERT_EQ(s.Count(), 3u);
  EXPECT_FALSE(s.Get({0}).Object().IsNull());
  EXPECT_TRUE(s.Get({1}).Object().IsNull());
  EXPECT_EQ(s.Get({2}).Object().As<Section>()->number, 2);

  // Cancelled while writing: the element is left out.
  cancel_property_ = "Sections(2)";
  const Bytes partial = Write(doc, status);
  cancel_property_.clear();
  back = Read(partial, read_status);
  EXPECT_EQ(read_status, 0);
  EXPECT_TRUE(back.As<Doc>()->sections.Get({2}).Object().IsNull());
  EXPECT_EQ(back.As<Doc>()->sections.Get({1}).Object().As<Section>()->number, 1);
}

TEST_F(GraphStreams, ExternalAndUncreatableObjectsInArrays) {
  ObjectRef doc = NewDoc("d");
  SafeArray sections(VarType::Dispatch, {ArrayBound{0, 1}});
  sections.SetRef({0}, classes_.NewGizmo("g"));
  sections.SetRef({1}, NewSection(5));
  doc.As<Doc>()->sections = sections;

  for (const bool external : {false, true}) {
    settings_.set_external_references = external;
    events_.clear();
    std::int32_t status = 0;
    settings_.problems_notification = ProblemsNotificationConstants::OnSubobjectProblem;
    const Bytes bytes = Write(doc, status);
    EXPECT_EQ(status, 601);
    bool reported = false;
    for (const auto& e : events_) {
      if (e.error_status == 601 && e.current_object_property == "Sections(0)") reported = true;
    }
    EXPECT_TRUE(reported);

    settings_.problems_notification = ProblemsNotificationConstants::SourceObjectOnly;
    std::int32_t quiet = 0;
    EXPECT_EQ(Write(doc, quiet), bytes);
    EXPECT_EQ(quiet, 0);

    std::int32_t read_status = 0;
    ObjectRef back = Read(bytes, read_status);
    EXPECT_EQ(read_status, 0);
    EXPECT_TRUE(back.As<Doc>()->sections.Get({0}).Object().IsNull());
    EXPECT_EQ(back.As<Doc>()->sections.Get({1}).Object().As<Section>()->number, 5);
  }

  // A class the reader's server cannot make, inside an array.
  settings_.problems_notification = ProblemsNotificationConstants::OnSubobjectProblem;
  std::int32_t status = 0;
  doc.As<Doc>()->sections.SetRef({0}, NewSection(4));
  Bytes bytes = Write(doc, status);
  ASSERT_EQ(status, 0);
  // The class name "Section" becomes "Sectiox" in the first element only.
  const std::string from = std::string("\x07\0\0\0", 4) + "Section";
  const auto at = std::search(bytes.begin(), bytes.end(), from.begin(), from.end());
  ASSERT_NE(at, bytes.end());
  at[10] = 'x';
  events_.clear();
  std::int32_t read_status = 0;
  ObjectRef back = Read(bytes, read_status);
  EXPECT_EQ(read_status, 601);
  ASSERT_FALSE(back.IsNull());
  EXPECT_TRUE(back.As<Doc>()->sections.Get({0}).Object().IsNull());
  EXPECT_EQ(back.As<Doc>()->sections.Get({1}).Object().As<Section>()->number, 5);
  const auto problem = std::find_if(events_.begin(), events_.end(),
                                    [](const auto& e) { return e.error_status == 601; });
  ASSERT_NE(problem, events_.end());
  EXPECT_EQ(problem->current_object_property, "Sections(0)");

  settings_.problems_notification = ProblemsNotificationConstants::SourceObjectOnly;
  read_status = 0;
  back = Read(bytes, read_status);
  EXPECT_EQ(read_status, 0);
}

TEST_F(GraphStreams, DeepChainsNeedNoDeepStack) {
  // Sections chained through Owner, 100,000 deep, each linked back weakly
  // through Prev, and the first one again at the end of the chain.
  ObjectRef first = NewSection(0);
  ObjectRef last = first;
  for (std::int32_t i = 1; i < 100000; ++i) {
    ObjectRef next = NewSection(i);
    last.As<Section>()->owner = next;
    S(next).prev = last;
    last = next;
  }
  last.As<Section>()->owner = first;
  std::int32_t status = 0;
  const Bytes bytes = Write(first, status);
  ASSERT_EQ(status, 0);
  std::int32_t read_status = 0;
  ObjectRef back = Read(bytes, read_status);
  ASSERT_EQ(read_status, 0);
  ObjectRef at = back;
  for (std::int32_t i = 1; i < 100000; ++i) {
    ObjectRef next = at.As<Section>()->owner;
    ASSERT_EQ(S(next).prev.Lock(), at) << i;
    at = std::move(next);
  }
  EXPECT_EQ(at.As<Section>()->number, 99999);
  EXPECT_EQ(at.As<Section>()->owner, back);
  // Break the cycles one link at a time (destruction would recurse).
  for (ObjectRef* chain : {&first, &back}) {
    ObjectRef o = *chain;
    while (!o.IsNull()) {
      ObjectRef next = std::move(o.As<Section>()->owner);
      o.As<Section>()->owner = ObjectRef();
      o = std::move(next);
    }
  }
  last = ObjectRef();
}

TEST_F(GraphStreams, LimitsCountObjectsNotReferences) {
  ObjectRef doc = NewDoc("d");
  ObjectRef a = NewSection(1, doc);
  SafeArray sections(VarType::Dispatch, {ArrayBound{0, 9}});
  for (std::int32_t i = 0; i <= 9; ++i) sections.SetRef({i}, a);
  doc.As<Doc>()->sections = sections;
  settings_.max_objects = 2;  // the document and its one section
  std::int32_t status = 0;
  const Bytes bytes = Write(doc, status);
  EXPECT_FALSE(bytes.empty());
  std::int32_t read_status = 0;
  ObjectRef back = Read(bytes, read_status);
  ASSERT_FALSE(back.IsNull());
  EXPECT_EQ(back.As<Doc>()->sections.Get({9}).Object(), back.As<Doc>()->sections.Get({0}).Object());
  Unlink(back);
  Unlink(doc);
}

// ---- What another reader sees ------------------------------------------------------

TEST_F(GraphStreams, AReaderWithoutGraphsRefusesTheStream) {
  ObjectRef doc = NewDoc("d");
  std::int32_t status = 0;
  const Bytes bytes = Write(doc, status);
  const StreamInfo info = InspectStream(bytes);
  EXPECT_TRUE(info.graph);
  EXPECT_TRUE(info.is_object_stream);
  // A reader that knows object and array streams only finds neither kind.
  const std::optional<std::int32_t> word = StreamHeaderWord(BagReader(bytes));
  ASSERT_TRUE(word.has_value());
  EXPECT_NE(UnpackStreamHeader(*word).kind, kObjectStreamKind);
  EXPECT_NE(UnpackStreamHeader(*word).kind, kArrayStreamKind);
  EXPECT_EQ(UnpackStreamHeader(*word).version, kFormatVersion);
  // And such a reader refuses a kind it does not know: here one no reader knows.
  PropertyBag bag;
  bag.SetContents(bytes);
  StreamHeaderFields unknown;
  unknown.base = *word;
  unknown.kind = 240;
  bag.WriteProperty(std::string(kHeaderKey), Variant(PackStreamHeader(unknown)));
  std::int32_t read_status = 0;
  Read(bag.Contents(), read_status);
  EXPECT_EQ(read_status, errors::kNotAStream);
  // The reader reads a graph stream whatever its own setting.
  settings_.preserve_identity = false;
  read_status = 0;
  EXPECT_FALSE(Read(bytes, read_status).IsNull());
  EXPECT_EQ(read_status, 0);
}

// ---- Crafted references ------------------------------------------------------------

Bytes BagBytes(const std::function<void(BagWriter&)>& fill) {
  Bytes out;
  BagWriter w(out);
  fill(w);
  w.Finish();
  return out;
}

Bytes Reference(std::int32_t id, VarType type = VarType::I4) {
  return BagBytes([&](BagWriter& w) {
    StreamHeaderFields f;
    f.version = 1;
    f.kind = kReferenceStreamKind;
    w.Write(kHeaderKey, Variant(PackStreamHeader(f)));
    if (type == VarType::I4) {
      w.Write(kReferenceKey, Variant(id));
    } else {
      w.Write(kReferenceKey, Variant(std::to_string(id)));
    }
  });
}

Bytes SectionStream(std::int32_t header, std::optional<std::int32_t> id, const Bytes& parent) {
  return BagBytes([&](BagWriter& w) {
    w.Write(kHeaderKey, Variant(header));
    w.Write(kClassNameKey, Variant("Section"));
    if (id) w.Write(kObjectIdKey, Variant(*id));
    w.Write("Number", Variant(3));
    w.WriteBytes("Owner", parent);
  });
}

TEST_F(GraphStreams, CraftedReferencesAreRefused) {
  auto root = [](std::optional<std::int32_t> root_id, const Bytes& parent) {
    return SectionStream(kGraphStreamKind | kFormatVersion, root_id, parent);
  };
  const Bytes nothing = BagBytes([](BagWriter& w) { w.Write(kHeaderKey, Variant(529)); });

  // The genuine shape: the section points to itself.
  std::int32_t status = 0;
  ObjectRef self = Read(root(0, Reference(0)), status);
  EXPECT_EQ(status, 0);
  ASSERT_FALSE(self.IsNull());
  EXPECT_EQ(self.As<Section>()->owner, self);
  self.As<Section>()->owner = ObjectRef();

  struct Case {
    const char* what;
    Bytes stream;
  };
  const std::vector<Case> cases = {
      {"forward", root(0, Reference(1))},
      {"out of range", root(0, Reference(1000000))},
      {"negative", root(0, Reference(-1))},
      {"number not an integer", root(0, Reference(0, VarType::BStr))},
      {"no number on the root", root(std::nullopt, nothing)},
      {"no number on a subobject", root(0, SectionStream(17, std::nullopt, nothing))},
      {"numbers out of order", root(5, SectionStream(17, 5, nothing))},
      {"a reference to a later object",
       root(0, SectionStream(17, 2, SectionStream(17, 1, Reference(2))))},
      {"a graph stream inside",
       root(0, SectionStream(kGraphStreamKind | kFormatVersion, 1, nothing))},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::int32_t s = 0;
    ObjectRef back = Read(c.stream, s);
    EXPECT_EQ(s, errors::kNotAStream);
    if (!back.IsNull()) back.As<Section>()->owner = ObjectRef();
  }

  // In a Stream without numbers a reference is a nested Stream of a kind
  // unknown there, whose object cannot be made.
  std::int32_t s = 0;
  ObjectRef plain = Read(SectionStream(17, std::nullopt, Reference(0)), s);
  EXPECT_EQ(s, 601);
  ASSERT_FALSE(plain.IsNull());
  EXPECT_TRUE(plain.As<Section>()->owner.IsNull());
}

TEST_F(GraphStreams, ArrayOfReferencesStaysLinear) {
  // 20,000 references to the root in one Variant array.
  constexpr std::int32_t kCount = 20000;
  const Bytes ref = Reference(0);
  const Bytes elements = BagBytes([&](BagWriter& w) {
    for (std::int32_t i = 0; i < kCount; ++i) w.WriteBytes(std::to_string(i), ref);
  });
  const Bytes grid = BagBytes([&](BagWriter& w) {
    StreamHeaderFields f;
    f.version = 1;
    f.kind = kArrayStreamKind;
    f.dimensions = 1;
    f.element_type = static_cast<std::int16_t>(VarType::Variant);
    w.Write(kHeaderKey, Variant(PackStreamHeader(f)));
    w.Write("D1", Variant(0));
    w.Write("G1", Variant(kCount - 1));
    w.WriteBytes(kElementsKey, elements);
  });
  const Bytes doc = BagBytes([&](BagWriter& w) {
    w.Write(kHeaderKey, Variant(kGraphStreamKind | kFormatVersion));
    w.Write(kClassNameKey, Variant("Doc"));
    w.Write(kObjectIdKey, Variant(0));
    w.WriteBytes("Grid", grid);
  });
  settings_.raise_recursion_check_event = false;
  std::int32_t status = 0;
  ObjectRef back = Read(doc, status);
  EXPECT_EQ(status, 0);
  ASSERT_FALSE(back.IsNull());
  const SafeArray g = back.As<Doc>()->grid;
  ASSERT_EQ(g.Count(), static_cast<std::size_t>(kCount));
  EXPECT_EQ(g.Get({kCount - 1}).Object(), back);
  back.As<Doc>()->grid = SafeArray(VarType::Variant);
}

Bytes ArrayStream(VarType element_type, std::int32_t upper, const Bytes& elements) {
  return BagBytes([&](BagWriter& w) {
    StreamHeaderFields f;
    f.version = 1;
    f.kind = kArrayStreamKind;
    f.dimensions = 1;
    f.element_type = static_cast<std::int16_t>(element_type);
    w.Write(kHeaderKey, Variant(PackStreamHeader(f)));
    w.Write("D1", Variant(0));
    w.Write("G1", Variant(upper));
    w.WriteBytes(kElementsKey, elements);
  });
}

TEST_F(GraphStreams, ARefusedStreamLeavesNoCycleAlive) {
  // Sections holds a section whose Owner is the document, Main holds it
  // again, and then Grid refers to an object that does not exist.
  const Bytes section = SectionStream(17, 1, Reference(0));
  const Bytes sections = ArrayStream(VarType::Dispatch, 0,
                                     BagBytes([&](BagWriter& w) { w.WriteBytes("0", section); }));
  const Bytes grid = ArrayStream(VarType::Variant, 0,
                                 BagBytes([](BagWriter& w) { w.WriteBytes("0", Reference(5)); }));
  auto doc = [&](bool bad) {
    return BagBytes([&](BagWriter& w) {
      w.Write(kHeaderKey, Variant(kGraphStreamKind | kFormatVersion));
      w.Write(kClassNameKey, Variant("Doc"));
      w.Write(kObjectIdKey, Variant(0));
      w.WriteBytes("Sections", sections);
      w.WriteBytes("Main", Reference(1));
      if (bad) w.WriteBytes("Grid", grid);
    });
  };
  settings_.raise_recursion_check_event = false;  // the events would hold the objects
  auto live = [this] { return classes_.Live(); };
  ASSERT_EQ(live(), 0);
  std::int32_t status = 0;
  ObjectRef good = Read(doc(false), status);
  ASSERT_EQ(status, 0);
  EXPECT_EQ(good.As<Doc>()->main.As<Section>()->owner, good);
  EXPECT_EQ(good.As<Doc>()->sections.Get({0}).Object(), good.As<Doc>()->main);
  Unlink(good);
  good = ObjectRef();
  EXPECT_EQ(live(), 0);

  ObjectRef bad = Read(doc(true), status);
  EXPECT_EQ(status, errors::kNotAStream);
  bad = ObjectRef();  // as the component drops it
  EXPECT_EQ(live(), 0);
}

// ---- Refused objects in Variant arrays without the setting ---------------------------

TEST_F(GraphStreams, ManyObjectsInAVariantArrayReadBackAsEmpty) {
  settings_.preserve_identity = false;
  settings_.problems_notification = ProblemsNotificationConstants::SourceObjectOnly;
  constexpr std::int32_t kCount = 50000;
  ObjectRef doc = NewDoc("d");
  ObjectRef a = NewSection(1);
  SafeArray list(VarType::Variant, {ArrayBound{0, kCount - 1}});
  for (std::int32_t i = 0; i < kCount; ++i) list.SetRef({i}, a);
  doc.As<Doc>()->items = Variant(list);
  std::int32_t status = 0;
  const Bytes bytes = Write(doc, status);
  EXPECT_LT(bytes.size(), 1000u);  // refused objects leave no bytes
  std::int32_t read_status = 0;
  ObjectRef back = Read(bytes, read_status);
  ASSERT_FALSE(back.IsNull());
  const Variant& l = back.As<Doc>()->items;
  ASSERT_TRUE(l.IsArray());
  ASSERT_EQ(l.Array().Count(), static_cast<std::size_t>(kCount));
  EXPECT_TRUE(l.Array().GetFlat(kCount - 1).IsEmpty());

  // Typed arrays get no such allowance: every element of theirs has an entry.
  DecodeAllowance allowance(100);
  EXPECT_FALSE(allowance.Draw(allowance.Left() + 1, false));
  EXPECT_TRUE(allowance.Draw(allowance.Left() + 1, true));
  EXPECT_EQ(allowance.RefusedLeft(), kRefusedElementAllowance - 1);
}

}  // namespace
}  // namespace replikon::testing
