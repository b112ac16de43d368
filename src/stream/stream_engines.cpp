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

#include "replikon/stream/stream_engines.hpp"

#include <algorithm>
#include <cstdint>
#include <deque>
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

#include "../automation/byte_order.hpp"
#include "../automation/out_of_memory.hpp"
#include "../copy/member_plan.hpp"
#include "replikon/automation/error.hpp"
#include "replikon/automation/type_info.hpp"
#include "replikon/copy/copy_engine.hpp"
#include "replikon/copy/object_factory.hpp"
#include "replikon/stream/array_encoding.hpp"
#include "replikon/stream/stream_layout.hpp"

namespace replikon {
namespace {

using engine::Accessors;
using engine::Assign;
using engine::InterfacePlan;
using engine::PlanCache;
using engine::Read;

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

// The objects on the path being written: an open-addressing set of addresses,
// at most half full. Removal moves later entries of a run back, so that no
// slot is ever marked deleted. One flat table, rather than a node per object,
// keeps the memory of a deep walk small.
class AddressSet {
 public:
  bool Contains(const void* p) const noexcept {
    if (slots_.empty()) return false;
    for (std::size_t s = Home(p);; s = Next(s)) {
      if (slots_[s] == p) return true;
      if (slots_[s] == nullptr) return false;
    }
  }

  void Insert(const void* p) {
    if (2 * (size_ + 1) > slots_.size()) Rehash(std::max<std::size_t>(16, 2 * slots_.size()));
    std::size_t s = Home(p);
    while (slots_[s] != nullptr) s = Next(s);
    slots_[s] = p;
    ++size_;
  }

  void Erase(const void* p) noexcept {
    if (slots_.empty()) return;
    std::size_t hole = Home(p);
    while (slots_[hole] != p) {
      if (slots_[hole] == nullptr) return;
      hole = Next(hole);
    }
    // Move back each later entry of the run that may not sit past the hole.
    for (std::size_t s = Next(hole); slots_[s] != nullptr; s = Next(s)) {
      const std::size_t home = Home(slots_[s]);
      const bool home_in_gap = hole < s ? (home > hole && home <= s) : (home > hole || home <= s);
      if (!home_in_gap) {
        slots_[hole] = slots_[s];
        hole = s;
      }
    }
    slots_[hole] = nullptr;
    --size_;
  }

 private:
  std::size_t Home(const void* p) const noexcept {
    const auto bits = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(p));
    return static_cast<std::size_t>((bits * 0x9E3779B97F4A7C15ULL) >> 32) & (slots_.size() - 1);
  }
  std::size_t Next(std::size_t s) const noexcept { return (s + 1) & (slots_.size() - 1); }

  void Rehash(std::size_t count) {
    std::vector<const void*> old(count, nullptr);
    old.swap(slots_);
    for (const void* p : old) {
      if (p == nullptr) continue;
      std::size_t s = Home(p);
      while (slots_[s] != nullptr) s = Next(s);
      slots_[s] = p;
    }
  }

  std::vector<const void*> slots_;  // a power of two of them, or none
  std::size_t size_ = 0;
};

// How the writer reads a field without a Variant: FieldAccess::ObjectIn,
// PlainIn or ArrayIn, or none of them.
enum class FieldKind : std::uint8_t { Object, Plain, Array, Other };

FieldKind KindOf(const FieldAccess& field, Instance& object) noexcept {
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
  const FieldAccess* field;
  const std::string* name;
  // The direct read that applied to the field of the first object listed: it
  // is tried first on the others.
  FieldKind kind;
};
using PropertyList = std::vector<Property>;

// One level of the walk. The level's parent object and the status its
// problems go to are those of the level below (the caller's at the bottom),
// so they are not kept here: a deep walk holds one frame per level.
struct WriteFrame {
  ObjectRef current;
  BagWriter bag;
  const PropertyList* properties;  // null: the members cannot be had
  BagWriter::Pending entry;        // this level's entry in its parent's bag
  std::uint32_t next_property = 0;
  std::int32_t child_status = 0;  // filled by the nested calls of this level
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
  void Enter(ObjectRef current, BagWriter::Pending entry) {
    WriteFrame& f =
        frames_.emplace_back(WriteFrame{std::move(current), BagWriter(out_), nullptr, entry});
    if (f.current.IsNull()) {
      WriteHeader(f.bag, header_nothing_);
      return;
    }
    WriteObjectHead(f.bag, header_object_, f.current->Class().Name());
    on_path_.Insert(f.current.get());
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
        const FieldAccess* field = access.get->Params().empty() ? access.get_field : nullptr;
        const FieldKind kind = field != nullptr ? KindOf(*field, object) : FieldKind::Other;
        list.push_back({access.get, field, &members[i].Name(), kind});
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
    if (!f.current.IsNull()) on_path_.Erase(f.current.get());
    const bool nested = frames_.size() > 1;
    const BagWriter::Pending entry = f.entry;
    frames_.pop_back();
    if (!nested) return;
    WriteFrame& parent = frames_.back();
    parent.bag.EndBytes(entry);
    if (parent.child_status != 0) Status() = parent.child_status;
  }

  // Processes members of the top frame until it descends or runs out of
  // members; false when the level is done.
  bool Step(WriteFrame& f) {
    if (f.properties == nullptr) return false;
    const PropertyList& properties = *f.properties;
    while (f.next_property < properties.size()) {
      const Property& property = properties[f.next_property++];
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
    const std::optional<Variant> value = ReadField(*property.field, *f.current);
    if (!value) return false;  // both reads would fail: the property is left out
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

  static std::optional<Variant> ReadField(const FieldAccess& field, Instance& object) {
    try {
      return field.Get(object);
    } catch (...) {
      detail::RethrowIfOutOfMemory();
      return std::nullopt;
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
      if (Read(property.get, *f.current, value)) WriteValueProperty(f, value, *property.name);
      return false;
    }
    if (!ctx_.Settings().recursion_allowed) return ctx_.Aborted();
    // The property may yield something else on this second read; then it is
    // not written.
    if (!Read(property.get, *f.current, value) || !value.IsObject()) return ctx_.Aborted();
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
        f.bag.WriteBytes(name, NothingStream());
      } catch (...) {
        detail::RethrowIfOutOfMemory();
      }
      return false;
    }

    // A subobject already on the path being written (the object itself or an
    // ancestor) would be written without end: it is left out and counts as a
    // subobject problem.
    if (on_path_.Contains(sub.get())) {
      ReportProblem(f, name, kStatusProblem);
      return false;
    }

    const std::int32_t s = ClassStatus(ctx_, sub->Class().Name());
    if (ctx_.Aborted()) return false;
    if (s != 0) {
      ReportProblem(f, name, s);
      return false;
    }
    // A subobject past the call's limits is not written: the call ends.
    if (!ctx_.EnterLimited(limits_, frames_.size() + 1)) return false;
    BagWriter::Pending entry;
    try {
      entry = f.bag.BeginBytes(name);
    } catch (...) {
      detail::RethrowIfOutOfMemory();
      return false;
    }
    Enter(std::move(sub), entry);
    return true;
  }

  void ReportProblem(WriteFrame& f, const std::string& name, std::int32_t s) {
    if (ctx_.Settings().problems_notification != OnSubobjectProblem) return;
    Status() = s;
    ctx_.RaiseRecursionCheck(Parent(), f.current, name, true, static_cast<std::int16_t>(s));
  }

  EngineContext& ctx_;
  ChunkedBytes& out_;
  WalkLimits limits_;
  const std::int32_t header_object_ = ObjectHeader(false);
  const std::int32_t header_nothing_ = ObjectHeader(true);
  const ObjectRef* root_parent_ = nullptr;
  std::int32_t* root_status_ = nullptr;
  std::deque<WriteFrame> frames_;  // references stay valid as it grows
  AddressSet on_path_;
  PlanCache plans_;
  std::unordered_map<const InterfacePlan*, PropertyList> properties_;
  const InterfacePlan* last_plan_ = nullptr;
  const PropertyList* last_properties_ = nullptr;
};

// ---- Reader ---------------------------------------------------------------------

// The positions of the members that the reader assigns (lets and sets), in
// the interface's order: the walk of a level passes over the rest unseen.
using SetterList = std::vector<std::size_t>;

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
    ReadFrame& first = NextFrame();
    first.bytes = stream;
    const StreamInfo info = Inspect(first.bag, stream);
    if (!Begin(info, false, result, parent, is_root, &status)) return;
    while (depth_ != 0) {
      if (ctx_.Aborted()) return;
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
      *status = kStatusNotStream;
      return false;
    }
    if (info.kind != kObjectStreamKind) return false;
    if (!made) {
      std::int32_t s = 0;
      result = CreateInstance(ctx_, info.class_name, s);
      if (ctx_.Aborted()) return false;
      if (s != 0) {
        *status = s;
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
    Set(f.pending_set, **f.result, std::move(f.pending_sub));
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
    while (f.next_member < setters.size()) {
      const std::size_t i = setters[f.next_member++];
      const MemberDescription& m = members[i];
      if (m.InvokeKind() == InvokeKind::PropertyPut) {
        ReadValueProperty(f, m, f.plan->members[i]);
      } else {
        if (ReadObjectProperty(f, m.Name(), f.plan->members[i])) return true;  // descended
        if (ctx_.Aborted()) return true;
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
    if (const FieldAccess* field = access.let->DirectField()) {
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
    if (const FieldAccess* field = set->DirectField()) {
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
                             WrittenArrayFromStream(bytes, Code(t), array) && array.Type() == t) {
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

  // Returns true when a new level was entered for the subobject.
  bool ReadObjectProperty(ReadFrame& f, const std::string& name, const Accessors& access) {
    const EngineSettings& settings = ctx_.Settings();
    const ObjectRef& result = *f.result;
    // IsObjectValued on the new object; the value read is dropped at once.
    // A field of object type answers without a copy of the reference.
    const FieldAccess* get_field = access.get != nullptr ? access.get->DirectField() : nullptr;
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
    if (info.holds_nothing) {
      Set(access.set, *result, ObjectRef());
      return false;
    }
    std::int32_t s = 0;
    ObjectRef sub = CreateInstance(ctx_, info.class_name, s);
    if (ctx_.Aborted()) return false;
    if (s != 0) {
      if (settings.problems_notification == OnSubobjectProblem) {
        *f.status = s;
        ctx_.RaiseRecursionCheck(f.parent, result, name, true, static_cast<std::int16_t>(s));
      }
      return false;
    }
    // A subobject past the call's limits is not read: the call ends, and the
    // instance just made goes.
    if (!ctx_.EnterLimited(limits_, depth_ + 1)) return false;
    // The instance made for the probe is the one the nested level fills.
    f.pending_set = access.set;
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

  EngineContext& ctx_;
  WalkLimits limits_;
  // Frames [0, depth_) are the levels being read, the root first; each is
  // held apart, so that references to it stay valid as the stack grows.
  std::vector<std::unique_ptr<ReadFrame>> frames_;
  std::size_t depth_ = 0;
  PlanCache plans_;
  std::unordered_map<const InterfacePlan*, SetterList> setters_;
  const InterfacePlan* last_plan_ = nullptr;
  const SetterList* last_setters_ = nullptr;
  DecodeAllowance allowance_{0};
  std::vector<std::uint8_t> nothing_;  // the Stream of a null reference
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
      status = kStatusProblem;
    }
    return {};
  }
}

void ReadObject(EngineContext& ctx, std::span<const std::uint8_t> stream, ObjectRef& result,
                ObjectRef& parent, bool is_root, std::int32_t& status) noexcept {
  try {
    StreamReader reader(ctx);
    reader.Run(stream, result, parent, is_root, status);
  } catch (...) {
    // The objects made so far go with the reader's levels; the component
    // drops the result.
    if (detail::IsOutOfMemory(std::current_exception())) {
      ctx.AbortOutOfMemory("reading the Stream");
    } else {
      status = kStatusProblem;
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
