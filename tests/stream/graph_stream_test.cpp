// Streams of whole object graphs (PreserveIdentity): each object written once,
// later references written as references, objects carried in arrays.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "automation/bag_codec.hpp"
#include "graph_classes.hpp"
#include "replikon/stream/array_encoding.hpp"
#include "replikon/stream/stream_layout.hpp"
#include "stream/array_codec.hpp"
#include "stream/parsed_stream.hpp"
#include "stream/stream_driver.hpp"
#include "test_support.hpp"

namespace replikon::testing {
namespace {

using test_support::BagOf;
using test_support::Bytes;
using test_support::Entries;

// A section's number; -1 for Nothing.
std::int32_t NumberOf(const ObjectRef& section) {
  return section.IsNull() ? -1 : S(section).number;
}

// The numbers of a document's sections in order.
std::vector<std::int32_t> Numbers(const ObjectRef& doc) {
  std::vector<std::int32_t> numbers;
  for (std::size_t i = 0; i < D(doc).sections.Count(); ++i) {
    numbers.push_back(NumberOf(D(doc).sections.GetFlat(i).Object()));
  }
  return numbers;
}
using Ns = std::vector<std::int32_t>;

class GraphStreams : public StreamEngineTest {
 protected:
  GraphStreams() {
    settings_.object_server_name = "Lib";
    settings_.preserve_identity = true;
  }

  ObjectRef NewDoc() { return classes_.NewDoc("d"); }
  // A section whose owner (counted) may be its document.
  ObjectRef NewSection(std::int32_t number, const ObjectRef& owner = {}) {
    ObjectRef o = classes_.NewSection("", {}, number);
    S(o).owner = owner;
    return o;
  }

  ObjectRef RoundTrip(const ObjectRef& root) {
    const Bytes bytes = Write(root);
    EXPECT_EQ(status_, 0);
    ObjectRef back = Read(bytes);
    EXPECT_EQ(status_, 0);
    return back;
  }

  // The property of the first event that reports a subobject problem.
  std::string FirstProblem() const {
    const auto at = std::ranges::find(events_, 601, &RecursionCheckArgs::error_status);
    return at == events_.end() ? "(none)" : at->current_object_property;
  }

  // Sections whose owner is the document hold it: the cycles go here.
  static void Unlink(std::initializer_list<ObjectRef> docs) {
    for (const ObjectRef& doc : docs) {
      std::vector<ObjectRef> held{D(doc).main, D(doc).extra};
      for (std::size_t i = 0; i < D(doc).sections.Count(); ++i) {
        held.push_back(D(doc).sections.GetFlat(i).Object());
      }
      for (const ObjectRef& o : held) {
        if (!o.IsNull() && o->Class().Name() == "Section") S(o).owner = ObjectRef();
      }
    }
  }

  ClassRegistry& Registry() override { return classes_.Registry(); }

  GraphClasses classes_;
};

// ---- Shapes that survive ---------------------------------------------------------

// A reader that knows object and array streams only finds neither kind (the
// header names the graph kind); this reader reads a graph stream whatever its
// own setting. Without the setting, today's results stay: the back-pointer is
// left out (as a subobject problem, which the component tests report) and the
// shared subobject comes back twice.
TEST_F(GraphStreams, SharedSubobjectStaysOneAndBackPointersCloseTheCycle) {
  ObjectRef doc = NewDoc();
  ObjectRef section = NewSection(7, doc);
  S(section).parent = doc;  // and weakly
  D(doc).main = D(doc).extra = section;

  const Bytes bytes = Write(doc);
  ASSERT_EQ(status_, 0);
  const StreamInfo info = InspectStream(bytes);
  EXPECT_EQ(std::pair(info.graph, info.is_object_stream), std::pair(true, true));
  const StreamHeader header = UnpackStreamHeader(StreamHeaderWord(BagReader(bytes)).value());
  EXPECT_EQ(std::pair(header.kind, header.version), std::pair(kGraphStreamKind, kFormatVersion));
  settings_.preserve_identity = false;
  ObjectRef back = Read(bytes);
  EXPECT_EQ(status_, 0);
  ASSERT_FALSE(back.IsNull());
  const Doc& d = D(back);
  EXPECT_EQ(d.title, "d");
  ASSERT_EQ(NumberOf(d.main), 7);
  EXPECT_EQ(d.main, d.extra);
  EXPECT_NE(d.main, section);
  EXPECT_EQ(S(d.main).owner, back);
  EXPECT_EQ(S(d.main).parent.Lock(), back);
  Unlink({back});

  back = Read(Write(doc));
  EXPECT_EQ(status_, 0);
  ASSERT_FALSE(back.IsNull());
  EXPECT_NE(D(back).main, D(back).extra);  // two objects
  EXPECT_TRUE(S(D(back).main).owner.IsNull());
  Unlink({doc});
}

TEST_F(GraphStreams, ObjectsAReaderDoesNotMakeAreNeverReferredTo) {
  ObjectRef holder = classes_.Registry().CreateByProgId("Lib.Holder");
  Holder& h = *holder.As<Holder>();
  h.fixed = h.first = NewSection(1);
  h.second = NewSection(2);
  h.any = Variant(h.second);

  ObjectRef back = RoundTrip(holder);
  ASSERT_FALSE(back.IsNull());
  EXPECT_EQ(NumberOf(back.As<Holder>()->first), 1);
  EXPECT_EQ(NumberOf(back.As<Holder>()->second), 2);
}

// Object arrays and Variant arrays (two dimensions, negative bounds, nested)
// come back with their objects; the object limit counts objects, not the
// references to them.
TEST_F(GraphStreams, ArraysComeBackWithTheirObjectsCountedOnce) {
  ObjectRef doc = NewDoc();
  ObjectRef a = NewSection(1, doc);
  ObjectRef b = NewSection(2, doc);
  D(doc).sections = Objects(1, {a, b, {}, a});  // element 3 stays Nothing
  D(doc).main = b;
  SafeArray grid(VarType::Variant, {ArrayBound{-1, 0}, ArrayBound{1, 2}});
  grid.SetRef({-1, 1}, a);
  grid.Set({-1, 2}, Variant(42));
  grid.Set({0, 1}, Variant("text"));
  SafeArray inner(VarType::Variant, {ArrayBound{0, 2}});
  inner.SetRef({0}, b);
  inner.SetRef({1}, a);
  inner.Set({2}, Variant(2.5));
  grid.Set({0, 2}, Variant(inner));
  D(doc).grid = grid;
  settings_.max_objects = 3;  // the document and its two sections

  ObjectRef back = RoundTrip(doc);
  ASSERT_FALSE(back.IsNull());
  ASSERT_EQ(Numbers(back), (Ns{1, 2, -1, 1}));
  const ObjectRef a2 = D(back).sections.Get({1}).Object();
  const ObjectRef b2 = D(back).sections.Get({2}).Object();
  EXPECT_EQ(D(back).sections, Objects(1, {a2, b2, {}, a2}));
  EXPECT_EQ(D(back).main, b2);
  EXPECT_EQ(S(a2).owner, back);
  // The grid as written, with the objects read.
  grid.SetRef({-1, 1}, a2);
  inner.SetRef({0}, b2);
  inner.SetRef({1}, a2);
  grid.Set({0, 2}, Variant(inner));
  EXPECT_EQ(D(back).grid, grid);

  // The events name the elements.
  for (const std::string name : {"Sections(3)", "Sections(4)", "Grid(-1,1)", "Grid(0,2)(0)"}) {
    EXPECT_NE(std::ranges::find(events_, name, &RecursionCheckArgs::current_object_property),
              events_.end())
        << name;
  }
  Unlink({back, doc});
}

TEST_F(GraphStreams, CancelOnAnElementLeavesItAsTheArrayWasMade) {
  ObjectRef doc = NewDoc();
  D(doc).sections = Objects(0, {NewSection(0), NewSection(1), NewSection(2)});
  const Bytes bytes = Write(doc);
  ASSERT_EQ(status_, 0);

  // Cancelled while reading.
  cancel_property_ = "Sections(1)";
  ObjectRef back = Read(bytes);
  EXPECT_EQ(status_, 0);
  EXPECT_EQ(Numbers(back), (Ns{0, -1, 2}));

  // Cancelled while writing: the element is left out, the rest written.
  const Bytes partial = Write(doc);
  EXPECT_EQ(status_, 0);
  cancel_property_.clear();
  back = Read(partial);
  EXPECT_EQ(status_, 0);
  EXPECT_EQ(Numbers(back), (Ns{0, -1, 2}));
}

TEST_F(GraphStreams, ExternalAndUncreatableObjectsInArrays) {
  ObjectRef doc = NewDoc();
  D(doc).sections = Objects(0, {classes_.NewGizmo("g"), NewSection(5)});

  for (const bool external : {false, true}) {
    settings_.set_external_references = external;
    settings_.problems_notification = ProblemsNotificationConstants::OnSubobjectProblem;
    events_.clear();
    const Bytes bytes = Write(doc);
    EXPECT_EQ(status_, 601);
    EXPECT_EQ(FirstProblem(), "Sections(0)");

    settings_.problems_notification = ProblemsNotificationConstants::SourceObjectOnly;
    EXPECT_EQ(Write(doc), bytes);
    EXPECT_EQ(status_, 0);

    ObjectRef back = Read(bytes);
    EXPECT_EQ(status_, 0);
    EXPECT_EQ(Numbers(back), (Ns{-1, 5}));
  }

  // A class the reader's server cannot make, inside an array.
  settings_.problems_notification = ProblemsNotificationConstants::OnSubobjectProblem;
  D(doc).sections.SetRef({0}, NewSection(4));
  Bytes bytes = Write(doc);
  ASSERT_EQ(status_, 0);
  // The class name "Section" becomes "Sectiox" in the first element only.
  const std::string from = std::string("\x07\0\0\0", 4) + "Section";
  const auto at = std::search(bytes.begin(), bytes.end(), from.begin(), from.end());
  ASSERT_NE(at, bytes.end());
  at[10] = 'x';
  events_.clear();
  ObjectRef back = Read(bytes);
  EXPECT_EQ(status_, 601);
  ASSERT_FALSE(back.IsNull());
  EXPECT_EQ(Numbers(back), (Ns{-1, 5}));
  EXPECT_EQ(FirstProblem(), "Sections(0)");

  settings_.problems_notification = ProblemsNotificationConstants::SourceObjectOnly;
  Read(bytes);
  EXPECT_EQ(status_, 0);
}

TEST_F(GraphStreams, DeepChainsNeedNoDeepStack) {
  // Sections chained through Owner, 100,000 deep, each linked back weakly
  // through Prev, and the first one again at the end of the chain.
  ObjectRef first = NewSection(0);
  ObjectRef last = first;
  for (std::int32_t i = 1; i < 100000; ++i) {
    ObjectRef next = NewSection(i);
    S(last).owner = next;
    S(next).prev = last;
    last = next;
  }
  S(last).owner = first;
  ObjectRef back = RoundTrip(first);
  ASSERT_FALSE(back.IsNull());
  ObjectRef at = back;
  for (std::int32_t i = 1; i < 100000; ++i) {
    ObjectRef next = S(at).owner;
    ASSERT_EQ(S(next).prev.Lock(), at) << i;
    at = std::move(next);
  }
  EXPECT_EQ(S(at).number, 99999);
  EXPECT_EQ(S(at).owner, back);
  // Break the cycles one link at a time (destruction would recurse).
  for (ObjectRef o : {first, back}) {
    while (!o.IsNull()) o = std::exchange(S(o).owner, ObjectRef());
  }
}

// ---- Crafted references ------------------------------------------------------------

Bytes Reference(std::int32_t id, bool as_text = false) {
  return BagOf({{"@SF#", Variant(kReferenceStreamKind | kFormatVersion)},
                {"@RF#", as_text ? Variant(std::to_string(id)) : Variant(id)}});
}

Bytes SectionStream(std::int32_t header, std::optional<std::int32_t> id, const Bytes& owner) {
  Entries entries;
  if (id) entries.emplace_back("@ID#", Variant(*id));
  entries.emplace_back("Number", Variant(3));
  entries.emplace_back("Owner", BytesValue(owner));
  return ObjectStream("Section", entries, header);
}

// A one-dimensional array stream from 0 of the elements' streams.
Bytes ArrayStream(VarType element_type, const std::vector<Bytes>& elements) {
  Entries entries;
  for (const Bytes& e : elements)
    entries.emplace_back(std::to_string(entries.size()), BytesValue(e));
  const std::int32_t header = (Code(element_type) << 24) | (1 << 16) | kArrayStreamKind | 1;
  return BagOf({{"@SF#", Variant(header)},
                {"D1", Variant(0)},
                {"G1", Variant(static_cast<std::int32_t>(elements.size()) - 1)},
                {"@AE#", BytesValue(BagOf(entries))}});
}

// The document at the root of a graph stream, with the entries given.
Bytes DocStream(Entries entries) {
  entries.insert(entries.begin(), {"@ID#", Variant(0)});
  return ObjectStream("Doc", entries, kGraphStreamKind | kFormatVersion);
}

TEST_F(GraphStreams, CraftedReferencesAreRefused) {
  auto root = [](std::optional<std::int32_t> root_id, const Bytes& owner) {
    return SectionStream(kGraphStreamKind | kFormatVersion, root_id, owner);
  };
  const Bytes nothing = BagOf({{"@SF#", Variant(529)}});

  // The genuine shape: the section points to itself.
  ObjectRef self = Read(root(0, Reference(0)));
  EXPECT_EQ(status_, 0);
  ASSERT_FALSE(self.IsNull());
  EXPECT_EQ(S(self).owner, self);
  S(self).owner = ObjectRef();

  const std::pair<const char*, Bytes> cases[] = {
      {"forward", root(0, Reference(1))},
      {"out of range", root(0, Reference(1000000))},
      {"negative", root(0, Reference(-1))},
      {"number not an integer", root(0, Reference(0, true))},
      {"no number on the root", root(std::nullopt, nothing)},
      {"no number on a subobject", root(0, SectionStream(17, std::nullopt, nothing))},
      {"numbers out of order", root(5, SectionStream(17, 5, nothing))},
      {"a reference to a later object",
       root(0, SectionStream(17, 2, SectionStream(17, 1, Reference(2))))},
      {"a graph stream inside",
       root(0, SectionStream(kGraphStreamKind | kFormatVersion, 1, nothing))},
  };
  for (const auto& [what, stream] : cases) {
    SCOPED_TRACE(what);
    ObjectRef back = Read(stream);
    EXPECT_EQ(status_, errors::kNotAStream);
    if (!back.IsNull()) S(back).owner = ObjectRef();
  }

  // In a Stream without numbers a reference is a nested Stream of a kind
  // unknown there, whose object cannot be made.
  ObjectRef plain = Read(SectionStream(17, std::nullopt, Reference(0)));
  EXPECT_EQ(status_, 601);
  ASSERT_FALSE(plain.IsNull());
  EXPECT_TRUE(S(plain).owner.IsNull());
}

TEST_F(GraphStreams, ARefusedStreamLeavesNoCycleAlive) {
  // Sections holds a section whose Owner is the document, Main holds it
  // again, and then Grid refers to an object that does not exist.
  Entries entries{{"Sections", BytesValue(ArrayStream(VarType::Dispatch,
                                                      {SectionStream(17, 1, Reference(0))}))},
                  {"Main", BytesValue(Reference(1))}};
  const Bytes good_stream = DocStream(entries);
  entries.emplace_back("Grid", BytesValue(ArrayStream(VarType::Variant, {Reference(5)})));
  settings_.raise_recursion_check_event = false;  // the events would hold the objects
  ASSERT_EQ(classes_.Live(), 0);
  ObjectRef good = Read(good_stream);
  ASSERT_EQ(status_, 0);
  EXPECT_EQ(S(D(good).main).owner, good);
  EXPECT_EQ(D(good).sections.Get({0}).Object(), D(good).main);
  Unlink({good});
  good = ObjectRef();
  EXPECT_EQ(classes_.Live(), 0);

  ObjectRef bad = Read(DocStream(entries));
  EXPECT_EQ(status_, errors::kNotAStream);
  bad = ObjectRef();  // as the component drops it
  EXPECT_EQ(classes_.Live(), 0);
}

}  // namespace
}  // namespace replikon::testing
