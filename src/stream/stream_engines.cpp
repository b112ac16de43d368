// The stream writer and reader.
//
// Both walk an object graph of any depth without recursion: each level of the
// walk is a frame on an explicit stack, so a chain of a hundred thousand
// objects needs no more C stack than a single object. The order of the work
// (members, events, nested Streams) is the order of a depth-first recursive
// walk.
//
// The writer writes every nested Stream in place into one growing buffer: a
// subobject's bag is written directly as the value of its parent's entry,
// never built apart and copied in. The buffer is a ChunkedBytes, which never
// copies what it holds as it grows, so that writing needs little more memory
// than the Stream itself. The reader parses each bag once and reads
// nested Streams as views into the input.

#include "stream/stream_engines.hpp"

#include <algorithm>
#include <cstdint>
#include <deque>
#include <exception>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "automation/bag_codec.hpp"
#include "automation/byte_order.hpp"
#include "automation/out_of_memory.hpp"
#include "automation/pointer_map.hpp"
#include "copy/copy_engine.hpp"
#include "copy/member_plan.hpp"
#include "copy/object_factory.hpp"
#include "replikon/automation/error.hpp"
#include "replikon/automation/type_info.hpp"
#include "replikon/stream/array_encoding.hpp"
#include "replikon/stream/stream_layout.hpp"
#include "stream/array_codec.hpp"
#include "stream/parsed_stream.hpp"

namespace replikon {
namespace {

using detail::Accessors;
using detail::Assign;
using detail::InterfacePlan;
using detail::PlanCache;
using detail::Read;

// The header words of the two kinds of object stream.
std::int32_t ObjectHeader(bool holds_nothing) noexcept {
  StreamHeaderFields fields;
  fields.version = kFormatVersion;
  fields.kind = kObjectStreamKind;
  fields.empty = holds_nothing;
  return PackStreamHeader(fields);
}

// Appends the header entry of an object stream, as Write(kHeaderKey,
// Variant(header)) does.
void WriteHeader(BagWriter& bag, std::int32_t header) {
  detail::StoreLittle(bag.AppendScalar(kHeaderKey, VarType::I4),
                      static_cast<std::uint32_t>(header));
}

// Appends the head of the stream of an object: the header entry and the class
// name, as WriteHeader and WriteString(kClassNameKey, class_name) do, in one
// piece.
void WriteObjectHead(BagWriter& bag, std::int32_t header, std::string_view class_name) {
  if (class_name.size() > std::numeric_limits<std::uint32_t>::max()) {
    errors::Raise(errors::kTypeMismatch);
  }
  constexpr std::size_t kHeaderEntry = BagWriter::EntrySize(kHeaderKey.size(), 4);
  std::uint8_t* p = bag.AppendEntries(
      kHeaderEntry + BagWriter::EntrySize(kClassNameKey.size(), 4 + class_name.size()), 2);
  p = BagWriter::StoreEntryHead(p, kHeaderKey, VarType::I4);
  p = detail::StoreLittle(p, static_cast<std::uint32_t>(header));
  p = BagWriter::StoreEntryHead(p, kClassNameKey, VarType::BStr);
  p = detail::StoreLittle(p, static_cast<std::uint32_t>(class_name.size()));
  detail::CopyKey(p, class_name.data(), class_name.size());
}

// The header word of the outermost object of a graph stream.
std::int32_t GraphHeader() noexcept {
  StreamHeaderFields fields;
  fields.version = kFormatVersion;
  fields.kind = kGraphStreamKind;
  return PackStreamHeader(fields);
}

// Appends a 32-bit integer entry, as Write(key, Variant(value)) does.
void WriteWord(BagWriter& bag, std::string_view key, std::int32_t value) {
  detail::StoreLittle(bag.AppendScalar(key, VarType::I4), static_cast<std::uint32_t>(value));
}

// The name an element of an array property goes by in events: "Sections(3)",
// "Grid(-1,2)".
std::string ElementName(std::string_view property, std::span<const std::int32_t> index) {
  std::string name(property);
  name += '(';
  for (std::size_t d = 0; d < index.size(); ++d) {
    if (d != 0) name += ',';
    name += std::to_string(index[d]);
  }
  name += ')';
  return name;
}

// Whether an array of 1 to 5 dimensions holds an object reference, itself or
// in the Variant arrays it holds (down to the nesting that is encoded).
bool HoldsObjects(const SafeArray& array, std::size_t depth = 0) noexcept {
  if (array.Dims() == 0 || array.Dims() > kMaxEncodedDimensions) return false;
  if (array.ElementType() == VarType::Dispatch) return true;
  if (array.ElementType() != VarType::Variant || depth >= kMaxArrayNesting) return false;
  for (const Variant& v : array.FlatElements<Variant>()) {
    if (v.IsObject()) return true;
    if (v.IsArray() && HoldsObjects(v.Array(), depth + 1)) return true;
  }
  return false;
}

// The interface of an object, or nullptr when it cannot be had. Running out
// of memory raises std::bad_alloc.
std::shared_ptr<const InterfaceDescription> TryDescribe(const ObjectRef& object) {
  try {
    return DescribeObject(object);
  } catch (...) {
    detail::RethrowIfOutOfMemory();
    return nullptr;
  }
}

// ---- Writer ---------------------------------------------------------------------

// The Stream of a null reference, the same for every walk: a null subobject,
// the most common of all, is written as a copy of it.
std::span<const std::uint8_t> NothingStream() {
  static const std::vector<std::uint8_t> bytes = [] {
    std::vector<std::uint8_t> out;
    BagWriter bag(out);
    WriteHeader(bag, ObjectHeader(true));
    bag.Finish();
    return out;
  }();
  return bytes;
}

// How the writer reads a field without a Variant: detail::FieldAccess::ObjectIn,
// PlainIn or ArrayIn, or none of them.
enum class FieldKind : std::uint8_t { Object, Plain, Array, Other };

FieldKind KindOf(const detail::FieldAccess& field, Instance& object) noexcept {
  VarType type = VarType::Empty;
  if (field.ObjectIn(object) != nullptr) return FieldKind::Object;
  if (field.PlainIn(object, type) != nullptr) return FieldKind::Plain;
  if (field.ArrayIn(object) != nullptr) return FieldKind::Array;
  return FieldKind::Other;
}

// The properties of a class that the writer reads, in member order: those
// with a get (other than "_Default") that an empty argument list can call.
struct Property {
  const MemberDescription* get;
  // The field that the get reads, when ClassBuilder made the get from one; null
  // when the get runs the client's code.
  const detail::FieldAccess* field;
  const std::string* name;
  // The direct read that applied to the field of the first object listed: it
  // is tried first on the others.
  FieldKind kind;
  // Whether a reader of the class assigns the property an object (a set of an
  // object-typed property) or an array (a let): the objects that only such
  // properties lead to are numbered in a graph stream, since a reference can
  // only be to an object that the reader makes.
  bool object_read_back;
  bool array_read_back;
};
using PropertyList = std::vector<Property>;

// One level of the walk. The level's parent object and the status its
// problems go to are those of the level below (the caller's at the bottom),
// so they are not kept here: a deep walk holds one frame per level.
// An array holding objects being written in a graph stream: its array bag
// and element bag are open, and its elements are written one by one, each
// object element as a level of the walk of its own.
struct ArrayCursor {
  SafeArray array;
  std::string name;          // for events: the property's, then "Name(i)" when nested
  BagWriter::Pending entry;  // the array's entry in the enclosing bag
  BagWriter bag;             // the array bag
  BagWriter::Pending elements_entry;
  BagWriter elements;  // the element bag
  IndexWalker walker;
  std::size_t next = 0;
  std::string key;
  bool numbered = true;  // its objects are numbered
};

struct WriteFrame {
  ObjectRef current;
  BagWriter bag;
  const PropertyList* properties;  // null: the members cannot be had
  BagWriter::Pending entry;        // this level's entry in its parent's bag
  std::uint32_t next_property = 0;
  std::int32_t child_status = 0;  // filled by the nested calls of this level
  // Arrays of objects being written, the outermost first (graph streams).
  std::vector<ArrayCursor> arrays;
  // Graph streams: whether this object is numbered, and whether the objects
  // and arrays of the property being written are.
  bool numbered = true;
  bool object_numbered = true;
  bool array_numbered = true;

  // The bag that the next entry of this level goes into.
  BagWriter& Open() noexcept { return arrays.empty() ? bag : arrays.back().elements; }
};

class StreamWriter {
 public:
  StreamWriter(EngineContext& ctx, ChunkedBytes& out)
      : ctx_(ctx), out_(out), limits_(ctx.Settings()) {}

  void Run(const ObjectRef& current, const ObjectRef& parent, std::int32_t& status) {
    root_parent_ = &parent;
    root_status_ = &status;
    if (!current.IsNull() && !ctx_.EnterLimited(limits_, 1)) return;
    Enter(current, BagWriter::Pending{});
    while (!frames_.empty()) {
      if (ctx_.Aborted()) return;
      if (!Step(frames_.back())) Leave();
    }
  }

 private:
  // The object whose property holds the top level's object.
  const ObjectRef& Parent() const noexcept {
    const std::size_t n = frames_.size();
    return n > 1 ? frames_[n - 2].current : *root_parent_;
  }
  // Where the top level's problems go.
  std::int32_t& Status() noexcept {
    const std::size_t n = frames_.size();
    return n > 1 ? frames_[n - 2].child_status : *root_status_;
  }

  // Starts a level: the header entries; the members follow in Step.
  void Enter(ObjectRef current, BagWriter::Pending entry, bool numbered = true) {
    WriteFrame& f = frames_.emplace_back(WriteFrame{
        std::move(current), BagWriter(out_), nullptr, entry, 0, 0, {}, numbered, true, true});
    if (f.current.IsNull()) {
      WriteHeader(f.bag, header_nothing_);
      return;
    }
    if (!graph_ || !numbered) {
      // An object no reader makes (below a property it does not assign) is
      // written whole, as often as it is met, and nothing refers to it.
      WriteObjectHead(f.bag, header_object_, f.current->Class().Name());
      on_path_.Insert(f.current.get());
    } else {
      // Each object is written once, under the next number. Its number also
      // tells that it is on the path.
      WriteObjectHead(f.bag, frames_.size() == 1 ? GraphHeader() : header_object_,
                      f.current->Class().Name());
      const std::int32_t id = numbers_++;
      WriteWord(f.bag, kObjectIdKey, id);
      ids_.Insert(f.current.get(), id);
    }
    f.properties = PropertiesOf(*f.current);
  }

  // The properties of an object's class, listed once per class and walk; most
  // objects are of the class met last.
  const PropertyList* PropertiesOf(Instance& object) {
    const std::shared_ptr<const InterfaceDescription>& iface = object.Class().Interface();
    if (last_plan_ != nullptr && last_plan_->iface == iface) return last_properties_;
    const InterfacePlan* plan = plans_.For(iface);
    if (plan == nullptr) return nullptr;
    PropertyList& list = properties_[plan];
    if (list.empty()) {
      const auto members = plan->iface->Members();
      for (std::size_t i = 0; i < members.size(); ++i) {
        const Accessors& access = plan->members[i];
        if (!access.visit || access.get == nullptr) continue;
        const detail::FieldAccess* field =
            access.get->Params().empty() ? access.get_field : nullptr;
        const FieldKind kind = field != nullptr ? KindOf(*field, object) : FieldKind::Other;
        const bool object_read_back =
            access.set != nullptr && access.get->PropertyType().VarType() == VarType::Dispatch;
        list.push_back(
            {access.get, field, &members[i].Name(), kind, object_read_back, access.let != nullptr});
      }
    }
    last_plan_ = plan;
    last_properties_ = &list;
    return last_properties_;
  }

  // Ends the level on top: its bag is complete, and so is its parent's entry.
  void Leave() {
    WriteFrame& f = frames_.back();
    f.bag.Finish();
    if (!f.current.IsNull()) {
      if (!graph_ || !f.numbered) {
        on_path_.Erase(f.current.get());
      } else {
        // The level's hold on a numbered object passes to written_.
        written_.push_back(std::move(f.current));
      }
    }
    const bool nested = frames_.size() > 1;
    const BagWriter::Pending entry = f.entry;
    frames_.pop_back();
    if (!nested) return;
    WriteFrame& parent = frames_.back();
    parent.Open().EndBytes(entry);
    if (parent.child_status != 0) Status() = parent.child_status;
  }

  // Processes members of the top frame until it descends or runs out of
  // members; false when the level is done.
  bool Step(WriteFrame& f) {
    if (f.properties == nullptr) return false;
    const PropertyList& properties = *f.properties;
    for (;;) {
      if (!f.arrays.empty()) {
        if (StepArray(f) || ctx_.Aborted()) return true;
        continue;
      }
      if (f.next_property >= properties.size()) break;
      const Property& property = properties[f.next_property++];
      f.object_numbered = f.numbered && property.object_read_back;
      f.array_numbered = f.numbered && property.array_read_back;
      const bool stop = property.field != nullptr ? WriteFieldProperty(f, property)
                                                  : WriteGetProperty(f, property);
      if (stop) return true;
    }
    return false;
  }

  // Both write a property of the top frame's object. They return true when a
  // new level was entered for a subobject, or when the walk was aborted while
  // writing an object property.

  // A property whose get reads a field runs no client code: reading it twice
  // (to tell an object from a value, then for the value) gives what reading it
  // once gives, so it is read once, and a field of a scalar, string, object
  // or array type is not even read into a Variant.
  bool WriteFieldProperty(WriteFrame& f, const Property& property) {
    bool stop = false;
    if (WriteDirect(f, property, property.kind, stop)) return stop;
    for (const FieldKind kind : {FieldKind::Object, FieldKind::Plain, FieldKind::Array}) {
      if (kind != property.kind && WriteDirect(f, property, kind, stop)) return stop;
    }
    const std::optional<Variant> value = ReadField(*property.field, *f.current, failure_);
    if (!value) {
      // Both reads would fail: the property is left out.
      if (failure_) NoteRaised(*property.name);
      return false;
    }
    if (value->IsObject()) return WriteObjectProperty(f, value->Object(), *property.name);
    WriteValueProperty(f, *value, *property.name);
    return false;
  }

  // Writes a field property by the direct read of `kind`, setting `stop` as
  // WriteFieldProperty returns; false, with nothing done, where that read
  // does not apply to the field.
  bool WriteDirect(WriteFrame& f, const Property& property, FieldKind kind, bool& stop) {
    switch (kind) {
      case FieldKind::Object:
        if (const ObjectRef* held = property.field->ObjectIn(*f.current)) {
          stop = WriteObjectProperty(f, *held, *property.name);
          return true;
        }
        return false;
      case FieldKind::Plain: {
        VarType type = VarType::Empty;
        const void* held = property.field->PlainIn(*f.current, type);
        if (held == nullptr) return false;
        try {
          f.bag.WritePlain(*property.name, type, held);
        } catch (...) {
          detail::RethrowIfOutOfMemory();  // a value the bag cannot hold is left out
        }
        return true;
      }
      case FieldKind::Array:
        if (const SafeArray* held = property.field->ArrayIn(*f.current)) {
          WriteArrayProperty(f, *held, *property.name);
          return true;
        }
        return false;
      case FieldKind::Other:
        break;
    }
    return false;
  }

  static std::optional<Variant> ReadField(const detail::FieldAccess& field, Instance& object,
                                          std::exception_ptr& failure) {
    try {
      return field.Get(object);
    } catch (...) {
      detail::RethrowIfOutOfMemory();
      failure = std::current_exception();
      return std::nullopt;
    }
  }

  // Lists the raising get of the property `name` of the top level, whose error
  // is in failure_.
  void NoteRaised(std::string_view name) {
    const std::exception_ptr failure = std::exchange(failure_, nullptr);
    if (ctx_.KeepsRaised()) {
      ctx_.NoteRaised(PathTo(name), failure);
    } else {
      ctx_.CountRaised();
    }
  }

  // A property whose get runs the client's code is read twice, each read
  // getting a Variant of its own, gone as soon as it is done with: the first
  // tells an object property (an object reference, a null one included) from a
  // value property, the second gives what is written.
  bool WriteGetProperty(WriteFrame& f, const Property& property) {
    bool object_valued = false;
    {
      Variant first;
      object_valued = Read(property.get, *f.current, first) && first.IsObject();
    }
    Variant value;
    if (!object_valued) {
      if (Read(property.get, *f.current, value, &failure_)) {
        WriteValueProperty(f, value, *property.name);
      } else if (failure_) {
        NoteRaised(*property.name);
      }
      return false;
    }
    if (!ctx_.Settings().recursion_allowed) return ctx_.Aborted();
    // The property may yield something else on this second read; then it is
    // not written.
    if (!Read(property.get, *f.current, value, &failure_) || !value.IsObject()) {
      if (failure_) NoteRaised(*property.name);
      return ctx_.Aborted();
    }
    return WriteObjectProperty(f, value.Object(), *property.name);
  }

  // A value the bag cannot hold is left out of the Stream. Running out of
  // memory is no such value: it ends the walk (std::bad_alloc).
  void WriteValueProperty(WriteFrame& f, const Variant& value, const std::string& name) {
    if (value.IsArray()) {
      WriteArrayProperty(f, value.Array(), name);
      return;
    }
    try {
      f.bag.Write(name, value);
    } catch (...) {
      detail::RethrowIfOutOfMemory();
    }
  }

  void WriteArrayProperty(WriteFrame& f, const SafeArray& array, const std::string& name) {
    if (graph_ && HoldsObjects(array)) {
      OpenArray(f, array, name);
      return;
    }
    try {
      if (!AppendArrayEntry(f.bag, name, array)) {
        WriteNested(f.bag, name, [&] { AppendStreamFromArray(array, out_); });
      }
    } catch (...) {
      detail::RethrowIfOutOfMemory();
    }
  }

  // Writes a byte-array entry whose bytes `fill` appends; when that fails,
  // the entry is dropped whole.
  template <class Fill>
  static void WriteNested(BagWriter& bag, std::string_view key, const Fill& fill) {
    const BagWriter::Pending entry = bag.BeginBytes(key);
    try {
      fill();
      bag.EndBytes(entry);
    } catch (...) {
      bag.AbandonBytes(entry);
      throw;
    }
  }

  // Writes an object property whose value is `read`.
  bool WriteObjectProperty(WriteFrame& f, const ObjectRef& read, const std::string& name) {
    return EnterSubobject(f, read, name) || ctx_.Aborted();
  }

  // Returns true when a new level was entered for the subobject.
  bool EnterSubobject(WriteFrame& f, const ObjectRef& read, const std::string& name) {
    return EnterSubobjectUnder(f, read, name, name);
  }

  // The same for a subobject that goes by `name` in events and is written
  // under `key` of the open bag.
  bool EnterSubobjectUnder(WriteFrame& f, const ObjectRef& read, const std::string& name,
                           std::string_view key) {
    const EngineSettings& settings = ctx_.Settings();
    if (!settings.recursion_allowed) return false;
    // The subobject as read: the event's handler may change the property.
    ObjectRef sub = read;
    if (settings.raise_recursion_check_event) {
      const bool cancel = ctx_.RaiseRecursionCheck(Parent(), f.current, name, false, 0);
      if (ctx_.Aborted() || cancel) return false;
    }

    if (sub.IsNull()) {
      try {
        f.Open().WriteBytes(key, NothingStream());
      } catch (...) {
        detail::RethrowIfOutOfMemory();
      }
      return false;
    }

    if (graph_) {
      if (const std::int32_t* found = ids_.Find(sub.get())) {
        const std::int32_t id = *found;
        WriteReference(f.Open(), key, id);
        return false;
      }
    }
    // A subobject already on the path being written (the object itself or an
    // ancestor) would be written without end: it is left out and counts as a
    // subobject problem.
    if (on_path_.Contains(sub.get())) {
      ReportProblem(f, name, errors::kProcessingProblems, nullptr);
      return false;
    }

    const std::int32_t s = ClassStatus(ctx_, sub->Class().Name());
    if (ctx_.Aborted()) return false;
    if (s != 0) {
      ReportProblem(f, name, s, &sub);
      return false;
    }
    // A subobject past the call's limits is not written: the call ends.
    if (!ctx_.EnterLimited(limits_, frames_.size() + 1)) return false;
    BagWriter::Pending entry;
    try {
      entry = f.Open().BeginBytes(key);
    } catch (...) {
      detail::RethrowIfOutOfMemory();
      return false;
    }
    Enter(std::move(sub), entry, f.arrays.empty() ? f.object_numbered : f.arrays.back().numbered);
    return true;
  }

  // Writes under `key` a reference stream to the object written as number `id`.
  void WriteReference(BagWriter& bag, std::string_view key, std::int32_t id) {
    const BagWriter::Pending entry = bag.BeginBytes(key);
    BagWriter ref(out_);
    StreamHeaderFields fields;
    fields.version = kFormatVersion;
    fields.kind = kReferenceStreamKind;
    WriteWord(ref, kHeaderKey, PackStreamHeader(fields));
    WriteWord(ref, kReferenceKey, id);
    ref.Finish();
    bag.EndBytes(entry);
  }

  // Starts the array stream of an array holding objects under `key` of the
  // open bag of `f`: its head, bounds and element bag, which StepArray fills.
  void OpenArray(WriteFrame& f, const SafeArray& array, std::string name) {
    BagWriter& enclosing = f.Open();
    const std::string key = f.arrays.empty() ? name : f.arrays.back().key;
    const BagWriter::Pending entry = enclosing.BeginBytes(key);
    BagWriter bag(out_);
    StreamHeaderFields fields;
    fields.version = kFormatVersion;
    fields.kind = kArrayStreamKind;
    fields.dimensions = static_cast<std::int16_t>(array.Dims());
    fields.element_type = static_cast<std::int16_t>(Code(array.ElementType()));
    WriteWord(bag, kHeaderKey, PackStreamHeader(fields));
    std::string bound_key;
    for (std::size_t d = 0; d < array.Dims(); ++d) {
      bound_key = "D" + std::to_string(d + 1);
      WriteWord(bag, bound_key, array.Bounds()[d].lower);
      bound_key[0] = 'G';
      WriteWord(bag, bound_key, array.Bounds()[d].upper);
    }
    const BagWriter::Pending elements_entry = bag.BeginBytes(kElementsKey);
    BagWriter elements(out_);
    const bool numbered = f.arrays.empty() ? f.array_numbered : f.arrays.back().numbered;
    f.arrays.push_back(ArrayCursor{array,
                                   std::move(name),
                                   entry,
                                   std::move(bag),
                                   elements_entry,
                                   std::move(elements),
                                   IndexWalker(array.Bounds()),
                                   0,
                                   {},
                                   numbered});
  }

  // Writes elements of the innermost open array of `f` until it descends into
  // an object (true), opens a nested array or closes the array (false).
  bool StepArray(WriteFrame& f) {
    ArrayCursor& c = f.arrays.back();
    const std::size_t count = c.array.Count();
    while (c.next < count) {
      const std::size_t i = c.next++;
      ElementKey(c.walker.Index(), c.key);
      std::string name = ElementName(c.name, c.walker.Index());
      c.walker.Next();
      const Variant value = c.array.GetFlat(i);
      if (value.IsObject()) {
        if (EnterElement(f, value.Object(), name)) return true;
        if (ctx_.Aborted()) return true;
        continue;
      }
      if (value.IsArray() && f.arrays.size() <= kMaxArrayNesting &&
          HoldsObjects(value.Array(), f.arrays.size())) {
        OpenArray(f, value.Array(), std::move(name));
        return false;
      }
      try {
        if (value.IsArray()) {
          WriteNested(c.elements, c.key, [&] { AppendStreamFromArray(value.Array(), out_); });
        } else {
          c.elements.Write(c.key, value);
        }
      } catch (...) {
        detail::RethrowIfOutOfMemory();  // a value the bag cannot hold is left out
      }
    }
    // The array is complete, and so is its entry.
    ArrayCursor done = std::move(f.arrays.back());
    f.arrays.pop_back();
    done.elements.Finish();
    done.bag.EndBytes(done.elements_entry);
    done.bag.Finish();
    f.Open().EndBytes(done.entry);
    return false;
  }

  // An object element of the innermost open array, under its key; true when
  // a new level was entered for it. The event names the element.
  bool EnterElement(WriteFrame& f, const ObjectRef& element, const std::string& name) {
    // With no subobject work the element is left out, and reads back as the
    // array holds it when made.
    if (!ctx_.Settings().recursion_allowed) return false;
    return EnterSubobjectUnder(f, element, name, f.arrays.back().key);
  }

  // A subobject problem at the property or element `name` of the top level:
  // an object of a class that cannot be made (`external`), or, with no
  // object, one already being written above it.
  void ReportProblem(WriteFrame& f, const std::string& name, std::int32_t s,
                     const ObjectRef* external) {
    if (ctx_.Settings().problems_notification != ProblemsNotificationConstants::OnSubobjectProblem)
      return;
    Status() = s;
    if (!ctx_.KeepsProblems()) {
      ctx_.CountProblem();
    } else if (external != nullptr) {
      ctx_.NoteCreationProblem(PathTo(name), (*external)->Class().Name(), true);
    } else {
      ctx_.NoteProblem(PathTo(name),
                       "reference cycle: the object is already being written above it on this "
                       "path (recursion not allowed)");
    }
    ctx_.RaiseRecursionCheck(Parent(), f.current, name, true, static_cast<std::int16_t>(s));
  }

  // The path from the root to the property or element `name` of the top
  // level: "Invoice.Lines(2).Carrier".
  std::string PathTo(std::string_view name) const {
    const std::size_t n = frames_.size();
    return JoinPath(n + 1, [&](std::string& out, std::size_t k) {
      if (k == 0) {
        out += frames_[0].current->Class().Name();
      } else if (k == n) {
        out += name;
      } else if (const WriteFrame& up = frames_[k - 1]; !up.arrays.empty()) {
        // The element under way of the innermost array open there.
        const ArrayCursor& c = up.arrays.back();
        out += c.name;
        AppendElementIndex(out, c.array.Bounds(), c.next - 1);
      } else {
        out += *(*up.properties)[up.next_property - 1].name;
      }
    });
  }

  EngineContext& ctx_;
  ChunkedBytes& out_;
  WalkLimits limits_;
  const std::int32_t header_object_ = ObjectHeader(false);
  const std::int32_t header_nothing_ = ObjectHeader(true);
  // A graph stream: every object is written once, and numbered.
  const bool graph_ = ctx_.Settings().preserve_identity;
  // The numbered objects whose levels are done; they stay alive, so addresses
  // stay theirs.
  std::vector<ObjectRef> written_;
  std::int32_t numbers_ = 0;  // the objects numbered so far
  // The numbers of the objects written to a graph stream, by address.
  detail::PointerMap<std::int32_t> ids_;
  const ObjectRef* root_parent_ = nullptr;
  std::int32_t* root_status_ = nullptr;
  std::deque<WriteFrame> frames_;  // references stay valid as it grows
  detail::PointerMap<void> on_path_;
  PlanCache plans_;
  std::unordered_map<const InterfacePlan*, PropertyList> properties_;
  const InterfacePlan* last_plan_ = nullptr;
  const PropertyList* last_properties_ = nullptr;
  std::exception_ptr failure_;  // what the last get that failed raised
};

// ---- Reader ---------------------------------------------------------------------

// The positions of the members that the reader assigns (lets and sets), in
// the interface's order: the walk of a level passes over the rest unseen.
using SetterList = std::vector<std::size_t>;

// An array holding objects being read from a graph stream: the array made
// from its bounds, filled element by element, each object element as a level
// of the walk of its own.
struct ReadCursor {
  Variant array;
  const Accessors* access = nullptr;  // the outermost: the property's
  std::size_t parent_index = 0;       // a nested one: its place in the enclosing array
  std::string name;                   // for events
  BagReader elements;
  std::vector<ArrayBound> bounds;
  IndexWalker walker{std::span<const ArrayBound>()};
  std::size_t next = 0;
  std::size_t count = 0;
  std::string key;
  VarType declared = VarType::Variant;  // the property's type
  bool holds_reference = false;         // itself or an array nested in it
};

struct ReadFrame {
  BagReader bag;
  // The level's bag. Deep down, the parsed entries of a level that waits for
  // its subobject go, and are parsed from here again when it returns.
  std::span<const std::uint8_t> bytes;
  bool parsed = true;
  StreamHeader header;
  ObjectRef* result = nullptr;          // where the object made at this level goes
  ObjectRef parent;                     // the object whose property will hold the result
  const InterfacePlan* plan = nullptr;  // null: no member is assigned
  const SetterList* setters = nullptr;  // of the plan
  // The client object of the object made, when the plan's fields belong to
  // its type: values stored as a field's own type go straight into it.
  void* client = nullptr;
  std::size_t next_member = 0;  // in setters
  std::int32_t* status = nullptr;
  std::int32_t child_status = 0;
  // The subobject being read for a property of this level, and the set
  // member of that property.
  ObjectRef pending_sub;
  const MemberDescription* pending_set = nullptr;
  // Or: the subobject goes into this element of the innermost open array.
  bool pending_element = false;
  std::size_t pending_index = 0;
  // Arrays of objects being read, the outermost first (graph streams).
  std::vector<ReadCursor> arrays;
};

class StreamReader {
 public:
  // The levels nearest the root that keep their parsed bags while their
  // subobjects are read.
  static constexpr std::size_t kParsedLevels = 64;

  explicit StreamReader(EngineContext& ctx) : ctx_(ctx), limits_(ctx.Settings()) {
    BagWriter nothing(nothing_);
    nothing.Write(kHeaderKey, Variant(ObjectHeader(true)));
    nothing.Finish();
  }

  void Run(std::span<const std::uint8_t> stream, ObjectRef& result, ObjectRef& parent, bool is_root,
           std::int32_t& status) {
    // Every array of the Stream draws its elements without an entry from one
    // allowance, as the arrays nested in one array do.
    allowance_ = DecodeAllowance(stream.size());
    if (!ctx_.EnterLimited(limits_, 1)) return;
    stream_ = stream;
    ReadFrame& first = NextFrame();
    first.bytes = stream;
    root_status_ = &status;
    const StreamInfo info = Inspect(first.bag, stream);
    std::int32_t id = -1;
    if (info.graph) {
      graph_ = true;
      if (!Number(first.bag, id)) return;
    }
    if (!Begin(info, false, result, parent, is_root, &status)) return;
    if (graph_) objects_.emplace_back(id, result);
    while (depth_ != 0) {
      if (ctx_.Aborted() || refused_) return;
      if (!Step(*frames_[depth_ - 1])) Leave();
    }
    if (is_root) parent = result;
  }

 private:
  // InspectStream of `bytes`, parsed into `bag`; running out of memory raises
  // std::bad_alloc rather than calling the bytes no Stream.
  static StreamInfo Inspect(BagReader& bag, std::span<const std::uint8_t> bytes) {
    StreamInfo info = InspectStream(bag.Parse(bytes) ? &bag : nullptr);
    if (info.out_of_memory) throw std::bad_alloc();
    return info;
  }

  // The frame of the level below the top, into whose reader the caller parses
  // that level's bag. A frame stays when its level ends, and its reader's
  // memory serves the next bag read at that depth.
  ReadFrame& NextFrame() {
    if (depth_ == frames_.size()) frames_.push_back(std::make_unique<ReadFrame>());
    return *frames_[depth_];
  }

  // The start of a level, up to the walk of the members: checks the Stream
  // (whose bag the caller has parsed into NextFrame()), makes the object into
  // `result` (unless `made`: it holds the instance the caller's probe made
  // already), and enters the level. False when there is nothing to walk.
  bool Begin(const StreamInfo& info, bool made, ObjectRef& result, const ObjectRef& parent,
             bool is_root, std::int32_t* status) {
    if (info.kind == 0) {
      *status = errors::kNotAStream;
      if (const std::optional<StreamFault> fault = DiagnoseStream(NextFrame().bytes)) {
        ctx_.NoteNotAStream(depth_ == 0 ? std::string() : PathOf(depth_ + 1, {}),
                            FaultText(*fault, Offset(NextFrame().bytes)));
      }
      return false;
    }
    if (info.kind != kObjectStreamKind) return false;
    // Only the outermost object of a Stream may be a graph stream's.
    if (info.graph && depth_ != 0) {
      refused_ = true;
      *root_status_ = errors::kNotAStream;
      ctx_.NoteNotAStream(PathOf(depth_ + 1, {}), "a graph stream nested in an object");
      return false;
    }
    if (!made) {
      std::int32_t s = 0;
      result = CreateInstance(ctx_, info.class_name, s);
      if (ctx_.Aborted()) return false;
      if (s != 0) {
        *status = s;
        ctx_.NoteCreationProblem({}, info.class_name, false);
        if (ctx_.Settings().raise_recursion_check_event) {
          ctx_.RaiseRecursionCheck(parent, result, "", true, static_cast<std::int16_t>(s));
        }
        return false;
      }
    }
    ReadFrame& f = NextFrame();
    f.header = info.header;
    f.result = &result;
    if (is_root) {
      ctx_.SetRoot(result);
      f.parent = result;
    } else {
      f.parent = parent;
    }
    f.next_member = 0;
    f.status = status;
    f.child_status = 0;
    f.pending_sub = ObjectRef();
    f.pending_set = nullptr;
    f.pending_element = false;
    f.arrays.clear();
    if (f.header.version != kFormatVersion) {
      f.plan = nullptr;  // the object stays as its class made it
    } else {
      f.plan = plans_.For(TryDescribe(result));
      if (f.plan != nullptr) f.setters = &SettersOf(*f.plan);
    }
    f.client = f.plan != nullptr && f.plan->owner != nullptr && result != nullptr &&
                       result->Class().CppType() == *f.plan->owner
                   ? result->Self()
                   : nullptr;
    ++depth_;
    return true;
  }

  void Leave() {
    ReadFrame& done = *frames_[--depth_];
    done.parent = ObjectRef();
    // A deep level's parsed entries are not kept for the next bag at its depth.
    if (depth_ >= kParsedLevels) done.bag = BagReader();
    if (depth_ == 0) return;
    ReadFrame& f = *frames_[depth_ - 1];
    if (f.child_status != 0) *f.status = f.child_status;
    if (f.pending_element) {
      f.arrays.back().array.MutableArray().SetFlatRef(f.pending_index, f.pending_sub);
      f.pending_element = false;
    } else {
      Set(f.pending_set, **f.result, std::move(f.pending_sub));
    }
    f.pending_sub = ObjectRef();
    if (!f.parsed) {
      // The same bytes parsed before; should that fail all the same, the
      // level's other members keep their values.
      f.parsed = true;
      if (!f.bag.Parse(f.bytes)) f.plan = nullptr;
    }
  }

  bool Step(ReadFrame& f) {
    if (f.plan == nullptr) return false;
    const auto members = f.plan->iface->Members();
    const SetterList& setters = *f.setters;
    for (;;) {
      if (!f.arrays.empty()) {
        if (StepArray(f) || ctx_.Aborted() || refused_) return true;
        continue;
      }
      if (f.next_member >= setters.size()) break;
      const std::size_t i = setters[f.next_member++];
      const MemberDescription& m = members[i];
      if (m.InvokeKind() == InvokeKind::PropertyPut) {
        ReadValueProperty(f, m, f.plan->members[i]);
      } else {
        if (ReadObjectProperty(f, m.Name(), f.plan->members[i])) return true;  // descended
        if (ctx_.Aborted() || refused_) return true;
      }
    }
    return false;
  }

  const SetterList& SettersOf(const InterfacePlan& plan) {
    if (last_plan_ == &plan) return *last_setters_;
    SetterList& list = setters_[&plan];
    if (list.empty()) {
      const auto members = plan.iface->Members();
      for (std::size_t i = 0; i < members.size(); ++i) {
        const InvokeKind kind = members[i].InvokeKind();
        if (kind == InvokeKind::PropertyPut || kind == InvokeKind::PropertyPutRef)
          list.push_back(i);
      }
    }
    last_plan_ = &plan;
    last_setters_ = &list;
    return list;
  }

  // SetPropertyByName with kind 4 (let) on the object being filled, of a
  // value decoded for it alone. The let of a field that takes the value as it
  // is assigns the field, as Invoke does, without the call's general steps.
  static void Let(ReadFrame& f, const Accessors& access, Variant& value) {
    if (access.let == nullptr) return;
    if (const detail::FieldAccess* field = access.let->DirectField()) {
      try {
        if (field->TakeValue(**f.result, value)) return;
      } catch (...) {
        detail::RethrowIfOutOfMemory();
        return;  // a let that fails leaves the property as it is
      }
    }
    Assign(access.let, **f.result, value);
  }

  // SetPropertyByName with kind 8 (set) on `object`, the set of a field taking
  // the reference straight into it.
  static void Set(const MemberDescription* set, Instance& object, ObjectRef value) {
    if (set == nullptr) return;
    if (const detail::FieldAccess* field = set->DirectField()) {
      if (field->TakeObject(object, value)) return;
    }
    Assign(set, object, Variant(std::move(value)));
  }

  // The client object of the level when the member's let is the direct store
  // into the field its value comes from, so that a value can go straight into
  // that field; else nullptr.
  static void* DirectLetClient(const ReadFrame& f, const Accessors& access) noexcept {
    if (access.value_field == nullptr || f.client == nullptr) return nullptr;
    return access.let->DirectField() == access.value_field ? f.client : nullptr;
  }

  void ReadValueProperty(ReadFrame& f, const MemberDescription& m, const Accessors& access) {
    const VarType t = m.PropertyType().VarType();
    const BagReader::Entry* entry = f.bag.Find(m.Name());
    if (graph_ && entry != nullptr &&
        (t == VarType::Variant || t == (VarType::Array | VarType::Variant) ||
         t == (VarType::Array | VarType::Dispatch))) {
      if (auto found = BagReader::BytesOf(*entry)) {
        if (OpenArray(f, *found, t, &access, 0, m.Name())) return;
      }
    }
    if (IsArrayType(t)) {
      std::span<const std::uint8_t> bytes;
      if (entry != nullptr) {
        if (auto found = BagReader::BytesOf(*entry)) bytes = *found;
      }
      // The let of an array field that takes an array of the stored type as it
      // is: the array is decoded straight into the field.
      if (void* const client = DirectLetClient(f, access)) {
        VarType held = VarType::Empty;
        SafeArray* at = access.value_field->ArrayFieldOf(client, held);
        if (SafeArray array; at != nullptr && held == t &&
                             ScalarArrayFromStream(bytes, Code(t), array) && array.Type() == t) {
          *at = std::move(array);
          return;
        }
      }
      Variant value = ArrayFromStream(bytes, static_cast<std::int32_t>(Code(t)), allowance_);
      if (!value.IsNull()) Let(f, access, value);
      return;
    }
    // No entry, or a stored Null: the property keeps its value.
    if (entry == nullptr || entry->type == VarType::Null) return;
    try {
      // The let of a field that takes a value of the stored type as it is.
      if (void* const client = DirectLetClient(f, access)) {
        VarType held = VarType::Empty;
        void* at = access.value_field->PlainFieldOf(client, held);
        if (at != nullptr && held == entry->type && f.bag.StoreValue(*entry, at)) return;
      }
      Variant v = f.bag.Value(*entry);
      // A Variant property receives an array stored as its array stream rebuilt.
      if (t != VarType::Variant || !v.IsArray()) {
        Let(f, access, v);
        return;
      }
      Variant w = ValueFromStored(v, allowance_);
      if (!w.IsNull()) Let(f, access, w);
    } catch (...) {
      // A value that cannot be decoded leaves the property as it is.
      detail::RethrowIfOutOfMemory();
    }
  }

  // The instance that the nested level `info` describes is to fill, made for
  // the property or element `name` of the object being read; null when its
  // class cannot be created (a subobject problem under OnSubobjectProblem),
  // when the call was aborted, or when the subobject would go past the call's
  // limits (the call then ends, and the instance just made goes).
  ObjectRef CreateSubobject(ReadFrame& f, const StreamInfo& info, const std::string& name,
                            std::span<const std::uint8_t> bytes) {
    std::int32_t s = 0;
    ObjectRef sub = CreateInstance(ctx_, info.class_name, s);
    if (ctx_.Aborted()) return {};
    if (s != 0) {
      if (ctx_.Settings().problems_notification ==
          ProblemsNotificationConstants::OnSubobjectProblem) {
        *f.status = s;
        if (!ctx_.KeepsProblems()) {
          ctx_.CountProblem();
        } else if (const std::optional<StreamFault> fault = DiagnoseStream(bytes)) {
          ctx_.NoteProblem(PathTo(name),
                           "not an object Stream: " + FaultText(*fault, Offset(bytes)));
        } else {
          ctx_.NoteCreationProblem(PathTo(name), info.class_name, false);
        }
        ctx_.RaiseRecursionCheck(f.parent, *f.result, name, true, static_cast<std::int16_t>(s));
      }
      return {};
    }
    if (!ctx_.EnterLimited(limits_, depth_ + 1)) return {};
    return sub;
  }

  // Returns true when a new level was entered for the subobject.
  bool ReadObjectProperty(ReadFrame& f, const std::string& name, const Accessors& access) {
    const EngineSettings& settings = ctx_.Settings();
    const ObjectRef& result = *f.result;
    // IsObjectValued on the new object; the value read is dropped at once.
    // A field of object type answers without a copy of the reference.
    const detail::FieldAccess* get_field =
        access.get != nullptr ? access.get->DirectField() : nullptr;
    bool object_valued = get_field != nullptr && get_field->ObjectIn(*result) != nullptr;
    if (!object_valued) {
      Variant current;
      object_valued = Read(access.get, *result, current) && current.IsObject();
    }
    if (!object_valued || !settings.recursion_allowed) return false;
    if (settings.raise_recursion_check_event) {
      const bool cancel = ctx_.RaiseRecursionCheck(f.parent, result, name, false, 0);
      if (ctx_.Aborted() || cancel) return false;
    }
    const std::optional<std::span<const std::uint8_t>> sb = f.bag.ReadBytes(name);
    if (!sb) return false;  // no entry: the property keeps its value

    // The null-reference Stream as written, the most common of all, is known
    // without parsing it.
    if (std::equal(sb->begin(), sb->end(), nothing_.begin(), nothing_.end())) {
      Set(access.set, *result, ObjectRef());
      return false;
    }
    ReadFrame& next = NextFrame();
    next.bytes = *sb;
    const StreamInfo info = Inspect(next.bag, *sb);
    std::int32_t id = -1;
    if (graph_) {
      if (info.header.kind == kReferenceStreamKind) {
        // An object read before: a reference to one that was not made leaves
        // the property as it is.
        if (ObjectRef target; Resolve(next.bag, target, name)) {
          linked_.push_back({result, access.set, nullptr, VarType::Empty});
          Set(access.set, *result, std::move(target));
        }
        return false;
      }
      if (info.kind == kObjectStreamKind && !info.holds_nothing && !Number(next.bag, id, name)) {
        return false;
      }
    }
    if (info.holds_nothing) {
      Set(access.set, *result, ObjectRef());
      return false;
    }
    ObjectRef sub = CreateSubobject(f, info, name, *sb);
    if (!sub) return false;
    if (graph_) objects_.emplace_back(id, sub);
    // The instance made for the probe is the one the nested level fills.
    f.pending_set = access.set;
    f.pending_element = false;
    // A nested Stream that is no object Stream leaves the probe's instance as it is.
    f.pending_sub = std::move(sub);
    if (!Begin(info, true, f.pending_sub, result, false, &f.child_status)) {
      if (f.child_status != 0) *f.status = f.child_status;
      Set(access.set, *result, f.pending_sub);
      f.pending_sub = ObjectRef();
      return false;
    }
    // A level holds its bag's parsed entries (most of its memory) while its
    // subobject is read. Below the first levels, where only deep graphs such
    // as long chains go, they are let go meanwhile and parsed again on the
    // return, so that the reader needs memory in proportion to the graph's
    // depth far below the Stream's size.
    if (depth_ > kParsedLevels) {
      f.bag = BagReader();
      f.parsed = false;
    }
    return true;
  }

  // ---- Graph streams ----

 public:
  // Takes back every reference to an object read before that the walk
  // stored, in a property or in an array it assigned. The caller does this
  // when it drops the result: references may have closed cycles of counted
  // references, which would keep the objects alive. Raises std::bad_alloc
  // when memory runs out.
  void Unlink() {
    for (const Link& link : linked_) {
      if (link.set != nullptr) {
        Set(link.set, *link.owner, ObjectRef());
      } else {
        // An array holding a reference gives way to an array without elements.
        const Variant none =
            IsArrayType(link.declared)
                ? Variant(SafeArray(static_cast<VarType>(Code(link.declared) & 0xFF)))
                : Variant();
        Assign(link.let, *link.owner, none);
      }
    }
    linked_.clear();
  }

 private:
  // Ends the walk: the Stream is no Stream as written; `why` says where.
  void Refuse(const char* why, std::string_view name = {}) {
    refused_ = true;
    *root_status_ = errors::kNotAStream;
    ctx_.NoteNotAStream(PathTo(name), why);
  }

  // Where `bytes`, a view into the Stream being read, starts in it.
  std::size_t Offset(std::span<const std::uint8_t> bytes) const noexcept {
    return static_cast<std::size_t>(bytes.data() - stream_.data());
  }

  // The path from the root to the property or element `name` of the top
  // level ("Invoice.Lines(2).Carrier"), or to the top level itself when
  // `name` is empty.
  std::string PathTo(std::string_view name) const { return PathOf(depth_, name); }

  // The same for the level at `levels` - 1: levels beyond the top (one) are
  // the subobject the top level is about to read.
  std::string PathOf(std::size_t levels, std::string_view name) const {
    const std::size_t n = levels;
    if (n == 0) return std::string(name);
    return JoinPath(name.empty() ? n : n + 1, [&](std::string& out, std::size_t k) {
      if (k == 0) {
        const ObjectRef& root = *frames_[0]->result;
        out += root.IsNull() ? std::string_view("Nothing") : std::string_view(root->Class().Name());
      } else if (k == n) {
        out += name;
      } else if (const ReadFrame& up = *frames_[k - 1]; up.pending_element) {
        const ReadCursor& c = up.arrays.back();
        out += c.name;
        AppendElementIndex(out, c.bounds, up.pending_index);
      } else if (up.pending_set != nullptr) {
        out += up.pending_set->Name();
      }
    });
  }

  // A 32-bit integer entry of a graph stream's own, as written.
  static std::optional<std::int32_t> Word(const BagReader& bag, std::string_view key) noexcept {
    const BagReader::Entry* entry = bag.Find(key);
    if (entry == nullptr || entry->type != VarType::I4 || entry->payload.size() != 4) {
      return std::nullopt;
    }
    const std::uint8_t* p = entry->payload.data();
    return static_cast<std::int32_t>(
        static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
        (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24));
  }

  // The number of the object whose bag is `bag`: objects are numbered in the
  // order they are written, so each number exceeds every one before it.
  // False (the Stream refused) for a number that is absent or out of order.
  bool Number(const BagReader& bag, std::int32_t& id, std::string_view name = {}) {
    const std::optional<std::int32_t> n = Word(bag, kObjectIdKey);
    if (!n || *n <= last_id_) {
      Refuse("no object number (\"@ID#\") greater than those before it", name);
      return false;
    }
    id = last_id_ = *n;
    return true;
  }

  // The object a reference stream points to, into `target`: one made from
  // this Stream before. False when that object was written but not made
  // here (a class that could not be made, a property not read); false, and
  // the Stream refused, for a number no object before it had.
  bool Resolve(const BagReader& bag, ObjectRef& target, std::string_view name = {}) {
    const std::optional<std::int32_t> n = Word(bag, kReferenceKey);
    if (!n || *n < 0 || *n > last_id_) {
      Refuse("a reference (\"@RF#\") to no object written before it", name);
      return false;
    }
    // Numbers are added in increasing order.
    const auto it =
        std::lower_bound(objects_.begin(), objects_.end(), *n,
                         [](const auto& entry, std::int32_t id) { return entry.first < id; });
    if (it == objects_.end() || it->first != *n) return false;
    target = it->second;
    return true;
  }

  // Starts reading an array stream of objects or Variants for a property of
  // type `t` (the outermost, `access` its accessors) or for element
  // `parent_index` of the innermost open array (`access` null). False, with
  // nothing done, for any other Stream, which the ordinary decoder reads.
  bool OpenArray(ReadFrame& f, std::span<const std::uint8_t> bytes, VarType t,
                 const Accessors* access, std::size_t parent_index, std::string name) {
    BagReader bag;
    if (!bag.Parse(bytes)) return false;
    const std::optional<std::int32_t> word = Word(bag, kHeaderKey);
    if (!word) return false;
    const StreamHeader h = UnpackStreamHeader(*word);
    const bool objects = h.element_type == static_cast<std::int16_t>(VarType::Dispatch);
    if (h.kind != kArrayStreamKind || h.version != kFormatVersion || h.empty || h.dimensions < 1 ||
        h.dimensions > static_cast<std::int16_t>(kMaxEncodedDimensions) ||
        (!objects && h.element_type != static_cast<std::int16_t>(VarType::Variant))) {
      return false;
    }
    // A declared array type must be that of the elements.
    if (IsArrayType(t) && (Code(t) & 0xFF) != static_cast<std::uint16_t>(h.element_type)) {
      return false;
    }
    std::vector<ArrayBound> bounds;
    std::uint64_t count = 1;
    std::string key;
    for (std::int16_t d = 1; d <= h.dimensions; ++d) {
      key = "D" + std::to_string(d);
      const std::optional<std::int32_t> lower = Word(bag, key);
      key[0] = 'G';
      const std::optional<std::int32_t> upper = Word(bag, key);
      if (!lower || !upper || *upper < *lower) return false;
      bounds.push_back(ArrayBound{*lower, *upper});
      count *= bounds.back().Count();
      if (count > SafeArray::kMaxElements) return false;
    }
    const std::optional<std::span<const std::uint8_t>> element_bytes = bag.ReadBytes(kElementsKey);
    if (!element_bytes) return false;
    ReadCursor c;
    if (!c.elements.Parse(*element_bytes)) return false;
    // Elements without an entry draw on the allowance, as in any array.
    const std::uint64_t present = c.elements.Size();
    if (!allowance_.Draw(count > present ? count - present : 0, true)) return false;
    c.array = Variant(SafeArray(objects ? VarType::Dispatch : VarType::Variant, bounds));
    c.declared = t;
    c.access = access;
    c.parent_index = parent_index;
    c.name = std::move(name);
    c.walker = IndexWalker(bounds);
    c.bounds = std::move(bounds);
    c.count = static_cast<std::size_t>(count);
    f.arrays.push_back(std::move(c));
    return true;
  }

  // Reads elements of the innermost open array of `f` until it descends into
  // an object (true), opens a nested array or completes the array (false).
  bool StepArray(ReadFrame& f) {
    ReadCursor& c = f.arrays.back();
    const bool objects = c.array.Array().ElementType() == VarType::Dispatch;
    while (c.next < c.count) {
      const std::size_t i = c.next++;
      ElementKey(c.walker.Index(), c.key);
      std::string name = ElementName(c.name, c.walker.Index());
      c.walker.Next();
      const BagReader::Entry* entry = c.elements.Find(c.key);
      if (entry == nullptr) continue;  // the element stays as the array was made
      const std::optional<std::span<const std::uint8_t>> bytes = BagReader::BytesOf(*entry);
      if (!bytes) {
        if (objects) continue;
        try {
          c.array.MutableArray().SetFlat(i, c.elements.Value(*entry));
        } catch (...) {
          detail::RethrowIfOutOfMemory();
        }
        continue;
      }
      ReadFrame& next = NextFrame();
      next.bytes = *bytes;
      const StreamInfo info = Inspect(next.bag, *bytes);
      if (info.kind == kArrayStreamKind) {
        if (objects) continue;
        if (f.arrays.size() <= kMaxArrayNesting &&
            OpenArray(f, *bytes, VarType::Variant, nullptr, i, std::move(name))) {
          return false;
        }
        Variant value = ArrayFromStream(*bytes, std::nullopt, allowance_);
        if (!value.IsNull()) f.arrays.back().array.MutableArray().SetFlat(i, value);
        continue;
      }
      const bool reference = info.header.kind == kReferenceStreamKind;
      if (!reference && (info.kind != kObjectStreamKind || info.graph)) {
        if (info.graph) Refuse("a graph stream nested in an array");
        if (refused_) return true;
        continue;  // no object: the element stays Empty
      }
      if (EnterElement(f, next, info, reference, i, name)) return true;
      if (ctx_.Aborted() || refused_) return true;
    }
    ReadCursor done = std::move(f.arrays.back());
    f.arrays.pop_back();
    if (!f.arrays.empty()) {
      f.arrays.back().array.MutableArray().SetFlat(done.parent_index, done.array);
      f.arrays.back().holds_reference |= done.holds_reference;
    } else {
      if (done.holds_reference) {
        linked_.push_back({*f.result, nullptr, done.access->let, done.declared});
      }
      Let(f, *done.access, done.array);
    }
    return false;
  }

  // An object, reference or Nothing element `i` of the innermost open array,
  // whose bag is parsed into `next`; true when a new level was entered.
  bool EnterElement(ReadFrame& f, ReadFrame& next, const StreamInfo& info, bool reference,
                    std::size_t i, const std::string& name) {
    const EngineSettings& settings = ctx_.Settings();
    const ObjectRef& result = *f.result;
    if (!settings.recursion_allowed) return false;
    if (settings.raise_recursion_check_event) {
      const bool cancel = ctx_.RaiseRecursionCheck(f.parent, result, name, false, 0);
      if (ctx_.Aborted() || cancel) return false;
    }
    SafeArray& array = f.arrays.back().array.MutableArray();
    if (reference) {
      if (ObjectRef target; Resolve(next.bag, target, name)) {
        array.SetFlatRef(i, target);
        f.arrays.back().holds_reference = true;
      }
      return false;
    }
    if (info.holds_nothing) {
      array.SetFlatRef(i, ObjectRef());
      return false;
    }
    std::int32_t id = -1;
    if (!Number(next.bag, id, name)) return false;
    ObjectRef sub = CreateSubobject(f, info, name, next.bytes);
    if (!sub) return false;
    objects_.emplace_back(id, sub);
    f.pending_element = true;
    f.pending_index = i;
    f.pending_sub = std::move(sub);
    if (!Begin(info, true, f.pending_sub, result, false, &f.child_status)) {
      if (f.child_status != 0) *f.status = f.child_status;
      f.arrays.back().array.MutableArray().SetFlatRef(i, f.pending_sub);
      f.pending_sub = ObjectRef();
      f.pending_element = false;
      return false;
    }
    if (depth_ > kParsedLevels) {
      f.bag = BagReader();
      f.parsed = false;
    }
    return true;
  }

  EngineContext& ctx_;
  WalkLimits limits_;
  // A graph stream: the objects made, by number, and the last number read.
  bool graph_ = false;
  bool refused_ = false;
  std::int32_t* root_status_ = nullptr;
  std::vector<std::pair<std::int32_t, ObjectRef>> objects_;  // by increasing number
  std::int32_t last_id_ = -1;
  // Where references were stored: a property's set, or the let of an array
  // property (of type `declared`) holding one.
  struct Link {
    ObjectRef owner;
    const MemberDescription* set;
    const MemberDescription* let;
    VarType declared;
  };
  std::vector<Link> linked_;
  // Frames [0, depth_) are the levels being read, the root first; each is
  // held apart, so that references to it stay valid as the stack grows.
  std::vector<std::unique_ptr<ReadFrame>> frames_;
  std::size_t depth_ = 0;
  PlanCache plans_;
  std::unordered_map<const InterfacePlan*, SetterList> setters_;
  const InterfacePlan* last_plan_ = nullptr;
  const SetterList* last_setters_ = nullptr;
  DecodeAllowance allowance_{0};
  std::span<const std::uint8_t> stream_;  // the whole Stream being read
  std::vector<std::uint8_t> nothing_;     // the Stream of a null reference
};

}  // namespace

std::vector<std::uint8_t> WriteObject(EngineContext& ctx, const ObjectRef& current,
                                      const ObjectRef& parent, std::int32_t& status) noexcept {
  // Programs mostly write the same kinds of graph again and again: a buffer
  // that expects a little more than the Stream this thread wrote last most
  // often holds the whole Stream, which it then hands over without a copy.
  // (An estimate too large costs address space only: pages are used as they
  // are filled, and a Stream far smaller than its buffer is moved out of it.)
  thread_local std::size_t last_size = 0;
  const std::size_t expected = last_size == 0 ? 0 : last_size + last_size / 8 + 4096;
  try {
    ChunkedBytes out(expected);
    StreamWriter(ctx, out).Run(current, parent, status);
    if (ctx.Aborted()) return {};
    // The writer is gone: its memory is free before the Stream is gathered.
    try {
      std::vector<std::uint8_t> stream = out.Take();
      last_size = stream.size();
      return stream;
    } catch (...) {
      if (!detail::IsOutOfMemory(std::current_exception())) throw;
      ctx.AbortOutOfMemory("gathering the Stream");
      return {};
    }
  } catch (...) {
    // Nothing of a Stream that could not be finished is handed back.
    if (detail::IsOutOfMemory(std::current_exception())) {
      ctx.AbortOutOfMemory("writing the Stream");
    } else {
      status = errors::kProcessingProblems;
    }
    return {};
  }
}

void ReadObject(EngineContext& ctx, std::span<const std::uint8_t> stream, ObjectRef& result,
                ObjectRef& parent, bool is_root, std::int32_t& status) noexcept {
  std::optional<StreamReader> reader;
  try {
    reader.emplace(ctx);
    reader->Run(stream, result, parent, is_root, status);
    // A result that the component drops lets go of the objects it links.
    if (ctx.Aborted() || status == errors::kProcessingProblems || status == errors::kNotAStream)
      reader->Unlink();
  } catch (...) {
    // The objects made so far go with the reader's levels; the component
    // drops the result.
    if (reader) {
      try {
        reader->Unlink();
      } catch (const std::bad_alloc&) {
        // Memory ran out again: the call ends with error 7 all the same.
      }
    }
    if (detail::IsOutOfMemory(std::current_exception())) {
      ctx.AbortOutOfMemory("reading the Stream");
    } else {
      status = errors::kProcessingProblems;
    }
  }
}

SafeArray ReadEntryBytes(const PropertyBag& bag, std::string_view name) noexcept {
  try {
    const Variant v = bag.ReadProperty(name);
    if (v.IsArray() && v.Array().ElementType() == VarType::UI1) return v.Array();
  } catch (...) {
  }
  return SafeArray::UnallocatedBytes();
}

bool IsUnallocated(const SafeArray& bytes) noexcept {
  return !bytes.IsAllocated();
}

}  // namespace replikon
