#include "replikon/copy/copy_engine.hpp"

#include <cstddef>
#include <exception>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "../automation/out_of_memory.hpp"
#include "member_plan.hpp"
#include "replikon/automation/error.hpp"
#include "replikon/automation/type_info.hpp"
#include "replikon/copy/object_factory.hpp"

namespace replikon {

using engine::Accessors;
using engine::InterfacePlan;
using engine::PlanCache;
using engine::Read;
using engine::Visit;

namespace {

// The member that InvokeByName would call for `kind`, or nullptr when the
// invocation would fail before reaching the class's code (null object, no such
// member, or, for a get, index arguments that an empty argument list cannot
// supply). Invoking the member found is what InvokeByName does; looking it up
// here spares a second look-up per access and an exception per read-only or
// parameterised property.
const MemberDescription* Callable(const ObjectRef& object, std::string_view name,
                                  InvokeKind kind) noexcept {
  if (object.IsNull()) return nullptr;
  const std::shared_ptr<const InterfaceDescription>& iface = object->Class().Interface();
  if (iface == nullptr) return nullptr;
  const MemberDescription* member = iface->Find(name, kind);
  if (member == nullptr || kind != InvokeKind::PropertyGet) return member;
  for (const ParamDescription& p : member->Params()) {
    if (!p.optional) return nullptr;
  }
  return member;
}

// Reads a property with no arguments; false when the read fails.
bool TryGet(const ObjectRef& object, std::string_view name, Variant& value) noexcept {
  const MemberDescription* getter = Callable(object, name, InvokeKind::PropertyGet);
  if (getter == nullptr) return false;
  try {
    value = getter->Invoke(*object, {});
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace

bool IsObjectValued(const ObjectRef& object, std::string_view name) noexcept {
  Variant value;
  return TryGet(object, name, value) && value.IsObject();
}

namespace {

// SetPropertyByName for the walk: running out of memory raises std::bad_alloc.
bool SetByName(const ObjectRef& object, std::string_view name, const Variant& value,
               InvokeKind kind) {
  if (kind != InvokeKind::PropertyPut && kind != InvokeKind::PropertyPutRef) return true;
  return engine::Assign(Callable(object, name, kind), *object, value);
}

}  // namespace

bool SetPropertyByName(const ObjectRef& object, std::string_view name, const Variant& value,
                       InvokeKind kind) noexcept {
  try {
    return SetByName(object, name, value, kind);
  } catch (const std::bad_alloc&) {
    return false;
  }
}

namespace {

// The class name an object's type information gives, without copying it. The
// object must not be null.
std::string_view TypeNameOf(const ObjectRef& object) noexcept {
  return object->Class().Name();
}

// A number for each of a set of objects, by address: the source objects on
// the current path of the walk with the position of their level on the work
// stack, and, with identity kept, every source object copied with the
// position of its copy. Open addressing with linear probing; erasing shifts
// the following entries back, so no tombstones pile up on a long walk.
class AddressIndex {
 public:
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

  void Insert(const Instance* key, std::size_t level) {
    if ((size_ + 1) * 2 > slots_.size()) Grow();
    std::size_t i = Home(key);
    while (slots_[i].key != nullptr) i = (i + 1) & Mask();
    slots_[i] = Slot{key, level};
    ++size_;
  }

  std::size_t Find(const Instance* key) const noexcept {
    if (size_ == 0) return kNone;
    for (std::size_t i = Home(key);; i = (i + 1) & Mask()) {
      if (slots_[i].key == key) return slots_[i].level;
      if (slots_[i].key == nullptr) return kNone;
    }
  }

  void Erase(const Instance* key) noexcept {
    if (size_ == 0) return;
    std::size_t i = Home(key);
    while (slots_[i].key != key) {
      if (slots_[i].key == nullptr) return;
      i = (i + 1) & Mask();
    }
    // Move back every later entry of the probe run whose home does not lie
    // cyclically in (i, j].
    for (std::size_t j = (i + 1) & Mask(); slots_[j].key != nullptr; j = (j + 1) & Mask()) {
      const std::size_t home = Home(slots_[j].key);
      const bool stays = (i <= j) ? (i < home && home <= j) : (i < home || home <= j);
      if (stays) continue;
      slots_[i] = slots_[j];
      i = j;
    }
    slots_[i] = Slot{};
    --size_;
  }

  void Clear() noexcept {
    for (Slot& s : slots_) s = Slot{};
    size_ = 0;
  }

 private:
  struct Slot {
    const Instance* key = nullptr;
    std::size_t level = 0;
  };

  std::size_t Mask() const noexcept { return slots_.size() - 1; }
  std::size_t Home(const Instance* key) const noexcept {
    // Fibonacci hashing of the address; the low bits of an address carry little.
    const auto bits = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(key));
    return static_cast<std::size_t>((bits * 0x9E3779B97F4A7C15ULL) >> shift_);
  }

  void Grow() {
    std::vector<Slot> old = std::move(slots_);
    const std::size_t capacity = old.empty() ? 16 : old.size() * 2;
    slots_.assign(capacity, Slot{});
    shift_ = 64;
    for (std::size_t c = capacity; c > 1; c >>= 1) --shift_;
    size_ = 0;
    for (const Slot& s : old) {
      if (s.key == nullptr) continue;
      std::size_t i = Home(s.key);
      while (slots_[i].key != nullptr) i = (i + 1) & Mask();
      slots_[i] = s;
      ++size_;
    }
  }

  std::vector<Slot> slots_;
  std::size_t size_ = 0;
  int shift_ = 64;
};

// No element: what a level's target or a finished array fills is a property.
constexpr std::size_t kNoElement = static_cast<std::size_t>(-1);

// Whether an array's elements may hold objects (an array of objects, or of
// Variants, which may hold objects and further arrays).
bool MayHoldObjects(const SafeArray& array) noexcept {
  const VarType type = array.ElementType();
  return array.IsAllocated() && (type == VarType::Dispatch || type == VarType::Variant);
}

// An array whose objects are being copied: a new array of the same type and
// bounds, filled element by element from the source's.
struct ArrayFrame {
  SafeArray source;
  SafeArray fresh;
  std::size_t next = 0;           // the next element of `source`, in row-major order
  std::size_t slot = kNoElement;  // the element of the array below that this one fills
  std::size_t member = 0;         // the member whose value holds the outermost array
  std::size_t level = 0;          // the position of the level on the work stack
};

// One level of the walk: a source object being copied into its target.
struct Level {
  ObjectRef source;
  ObjectRef target;
  const InterfacePlan* plan = nullptr;  // null: nothing to copy
  bool target_shares_plan = false;      // the target has the source's interface
  std::int32_t status = kStatusOk;
  std::size_t next = 0;        // the next of the plan's visited members
  std::size_t via_member = 0;  // the parent's member that leads here
  // The element of the parent's innermost array under way that the target
  // fills, or kNoElement when it fills the member.
  std::size_t via_element = kNoElement;
  // The client objects of the source, and of a target that shares the plan,
  // when they are of the type that holds the plan's fields (null otherwise):
  // those fields are then reached without checking the class at each access.
  void* source_client = nullptr;
  void* target_client = nullptr;

  // Assigns a property of the target (kind 4 or 8), as SetPropertyByName does.
  // A failing assignment leaves the target's property as it is; running out
  // of memory raises std::bad_alloc.
  void Assign(std::size_t member, std::string_view name, const Variant& value,
              InvokeKind kind) const {
    if (!target_shares_plan) {
      SetByName(target, name, value, kind);
      return;
    }
    const Accessors& a = plan->members[member];
    engine::Assign(kind == InvokeKind::PropertyPut ? a.let : a.set, *target, value);
  }

  // Assigns an object reference to a property of the target (kind 8).
  void AssignRef(std::size_t member, ObjectRef object) const {
    if (const FieldAccess* field = target_shares_plan ? plan->members[member].set_field : nullptr) {
      if (target_client == nullptr) {
        if (field->TakeObject(*target, object)) return;
      } else if (ObjectRef* held = field->ObjectFieldOf(target_client)) {
        *held = std::move(object);
        return;
      }
    }
    Assign(member, plan->iface->Members()[member].Name(), Variant(std::move(object)),
           InvokeKind::PropertyPutRef);
  }
};

// The copy walk. Each subobject is a level on an explicit work stack rather
// than a native call, so the depth of a graph is bounded by memory, not by the
// thread's stack; the order of reads, events, creations and assignments is that
// of the natural recursive walk: a level is filled completely, then assigned to
// its parent's property, and the parent goes on with its next member.
class CopyWalk {
 public:
  CopyWalk(EngineContext& ctx, const ObjectRef& parent)
      : ctx_(ctx),
        limits_(ctx.Settings()),
        top_parent_(parent),
        identity_(ctx.Settings().preserve_identity) {}

  std::int32_t Run(const ObjectRef& source, const ObjectRef& target) {
    if (!ctx_.EnterLimited(limits_, 1)) return kStatusOk;
    Push(source, target, 0);
    while (true) {
      switch (Advance()) {
        case Step::kAborted:
          Unwind();
          return kStatusOk;
        case Step::kDescend:
          break;
        case Step::kDone:
          if (const std::int32_t status = Pop(); levels_.empty()) return status;
          break;
      }
    }
  }

  // Drops every level without assigning anything further.
  void Unwind() noexcept {
    path_.Clear();
    arrays_.clear();
    while (!levels_.empty()) levels_.pop_back();
    copied_index_.Clear();
    copied_.clear();
  }

 private:
  enum class Step { kDone, kDescend, kAborted };

  const ObjectRef& ParentOf(std::size_t at) const noexcept {
    return at == 0 ? top_parent_ : levels_[at - 1].source;
  }

  // `source` is not null.
  void Push(ObjectRef source, ObjectRef target, std::size_t via_member,
            std::size_t via_element = kNoElement) {
    const InterfacePlan* plan = plans_.For(source->Class().Interface());
    const bool shares = plan != nullptr && target && target->Class().Interface() == plan->iface;
    void* source_client = nullptr;
    void* target_client = nullptr;
    if (plan != nullptr && plan->owner != nullptr) {
      if (source->Class().CppType() == *plan->owner) source_client = source->Self();
      if (shares && target->Class().CppType() == *plan->owner) target_client = target->Self();
    }
    const Instance* key = source.get();
    // Every further reference to the source, from anywhere in the walk, gets
    // this copy. The source is held so that its address names it to the end.
    if (identity_) {
      copied_.push_back(Copied{source, target});
      copied_index_.Insert(key, copied_.size() - 1);
    }
    levels_.push_back(Level{std::move(source), std::move(target), plan, shares, kStatusOk, 0,
                            via_member, via_element, source_client, target_client});
    path_.Insert(key, levels_.size() - 1);
  }

  // Ends the top level: its status climbs to the level above, and its target is
  // assigned to the property that led to it. Returns the level's status.
  std::int32_t Pop() {
    Level& done = levels_.back();
    path_.Erase(done.source.get());
    const std::int32_t status = done.status;
    if (levels_.size() > 1) {
      Level& up = levels_[levels_.size() - 2];
      if (status != kStatusOk) up.status = status;
      Put(up, done.via_member, done.via_element, std::move(done.target));
    }
    levels_.pop_back();
    return status;
  }

  // Goes through the members of the top level until a subobject is to be
  // copied into a new instance (kDescend, with its level pushed) or the
  // members are done.
  Step Advance() {
    const std::size_t at = levels_.size() - 1;
    Level& level = levels_[at];
    if (level.plan == nullptr) return Step::kDone;
    if (!arrays_.empty() && arrays_.back().level == at) {
      // An element's copy is done: the member's arrays go on.
      if (const Step step = AdvanceArrays(at); step != Step::kDone) return step;
    }
    const InterfacePlan& plan = *level.plan;
    const std::span<const MemberDescription> members = plan.iface->Members();
    const EngineSettings& settings = ctx_.Settings();  // read live at each decision
    const Visit* const first = plan.visited.data();
    const Visit* const end = first + plan.visited.size();
    // With identity kept, the objects in arrays are copied: such arrays are
    // no plain values.
    const bool identity = identity_;

    for (const Visit* visit = first + level.next; visit != end;) {
      if (level.source_client != nullptr && level.target_client != nullptr) {
        // Reading a field that gives a value and assigning that value to the
        // target's same field: the field is copied directly, and so is each
        // such field that follows.
        void* const source_client = level.source_client;
        void* const target_client = level.target_client;
        for (; visit != end && visit->value_field != nullptr &&
               (!identity || !visit->may_hold_objects ||
                !ObjectArrayIn(*visit->value_field, source_client));
             ++visit) {
          visit->value_field->CopyClientValue(source_client, target_client);
        }
        if (visit == end) break;
      }
      const std::size_t index = visit->member;
      const Accessors& access = plan.members[index];
      const bool may_hold_objects = visit->may_hold_objects;
      level.next = static_cast<std::size_t>(++visit - first);

      if (access.value_field != nullptr && level.target_shares_plan &&
          (!identity || !may_hold_objects || !ObjectArrayIn(*access.value_field, *level.source))) {
        access.value_field->CopyValue(*level.source, *level.target);
        continue;
      }

      const std::string_view name = members[index].Name();
      // Read once to tell an object property (an object reference, a null one
      // included) from a value property, then again for the copy.
      ObjectRef sub;
      if (const ObjectRef* held = ObjectHeld(level, access)) {
        // A field of object type: both reads give the reference it holds.
        if (!settings.recursion_allowed) continue;
        sub = *held;
      } else {
        Variant value;
        if (!Read(access.get, *level.source, value) || !value.IsObject()) {
          // A value property. When it cannot be read (a parameterised property,
          // an error in the class's code) the target keeps its own value.
          if (Read(access.get, *level.source, value, &failure_)) {
            if (identity && settings.recursion_allowed && value.IsArray() &&
                MayHoldObjects(value.Array())) {
              // Its objects are copied as subobjects are; the new array is
              // assigned once they all are.
              StartArray(at, index, kNoElement, value.Array());
              if (const Step step = AdvanceArrays(at); step != Step::kDone) return step;
              continue;
            }
            level.Assign(index, name, value, InvokeKind::PropertyPut);
          } else if (failure_) {
            NoteRaised(at, name);
          }
          continue;
        }

        if (!settings.recursion_allowed) continue;

        // The second read fails or no longer gives an object: nothing to process.
        if (!Read(access.get, *level.source, value, &failure_) || !value.IsObject()) {
          if (failure_) NoteRaised(at, name);
          continue;
        }
        sub = value.Object();
      }

      bool cancel = false;
      if (settings.raise_recursion_check_event) {
        cancel = ctx_.RaiseRecursionCheck(ParentOf(at), level.source, name, false, 0);
        if (ctx_.Aborted()) return Step::kAborted;
      }
      if (cancel) continue;

      // `level` goes with a push; the walk resumes it after the new level.
      if (const Step step = Enter(at, std::move(sub), name, index, kNoElement);
          step != Step::kDone) {
        return step;
      }
    }
    return Step::kDone;
  }

  // A subobject met through the member or the element of the level at `at`
  // (`name` naming it): a null reference, an object already copied, an
  // external object, or one to copy into a new instance (kDescend, with its
  // level pushed). Inlined: it is the step of every object property.
  [[gnu::always_inline]] Step Enter(std::size_t at, ObjectRef&& sub, std::string_view name,
                                    std::size_t member, std::size_t element) {
    Level& level = levels_[at];
    if (sub.IsNull()) {
      Put(level, member, element, ObjectRef{});
      return Step::kDone;
    }

    // A subobject on the current path (the object itself or an ancestor)
    // closes a cycle: the copy points to the copy of that object instead of
    // descending again.
    if (const std::size_t on_path = path_.Find(sub.get()); on_path != AddressIndex::kNone) {
      Put(level, member, element, ObjectRef(levels_[on_path].target));
      return Step::kDone;
    }
    if (identity_) {
      if (const std::size_t known = copied_index_.Find(sub.get()); known != AddressIndex::kNone) {
        Put(level, member, element, ObjectRef(copied_[known].copy));
        return Step::kDone;
      }
    }

    const EngineSettings& settings = ctx_.Settings();
    std::int32_t creation = kStatusOk;
    ObjectRef fresh = CreateInstance(ctx_, TypeNameOf(sub), creation);
    if (ctx_.Aborted()) return Step::kAborted;
    if (creation != kStatusOk) {
      // An external subobject: a class that the server does not make.
      if (settings.problems_notification == OnSubobjectProblem) {
        level.status = creation;
        if (ctx_.KeepsProblems()) {
          ctx_.NoteCreationProblem(PathTo(at, name), TypeNameOf(sub), true);
        } else {
          ctx_.CountProblem();
        }
        ctx_.RaiseRecursionCheck(ParentOf(at), level.source, name, true,
                                 static_cast<std::int16_t>(creation));
        if (ctx_.Aborted()) return Step::kAborted;
      }
      if (settings.set_external_references) {
        Put(level, member, element, std::move(sub));
      }
      return Step::kDone;
    }

    // A copy past the call's limits is not filled: the call ends.
    if (!ctx_.EnterLimited(limits_, levels_.size() + 1)) return Step::kAborted;
    Push(std::move(sub), std::move(fresh), member, element);
    return Step::kDescend;
  }

  // Begins the copy of an array that may hold objects, for the member (and,
  // for a nested array, the element of the array under way) that holds it.
  void StartArray(std::size_t at, std::size_t member, std::size_t slot, const SafeArray& source) {
    SafeArray fresh(source.ElementType(), source.Bounds());
    arrays_.push_back(ArrayFrame{source, std::move(fresh), 0, slot, member, at});
  }

  // Puts an object where the walk took it from: the member's property, or an
  // element of the innermost array under way.
  [[gnu::always_inline]] void Put(Level& level, std::size_t member, std::size_t element,
                                  ObjectRef&& object) {
    if (element == kNoElement) {
      level.AssignRef(member, std::move(object));
    } else {
      arrays_.back().fresh.SetFlatRef(element, object);
    }
  }

  // Goes through the elements of the arrays of the level at `at` until an
  // element's object is to be copied into a new instance (kDescend, with its
  // level pushed) or the arrays are done and the outermost one is assigned to
  // its member.
  Step AdvanceArrays(std::size_t at) {
    const EngineSettings& settings = ctx_.Settings();
    while (!arrays_.empty() && arrays_.back().level == at) {
      Level& level = levels_[at];
      ArrayFrame& frame = arrays_.back();
      if (frame.next == frame.source.Count()) {
        // Complete: into the element of the array below, or the member.
        ArrayFrame done = std::move(frame);
        arrays_.pop_back();
        if (done.slot != kNoElement) {
          arrays_.back().fresh.SetFlat(done.slot, Variant(std::move(done.fresh)));
        } else {
          const std::string_view name = level.plan->iface->Members()[done.member].Name();
          level.Assign(done.member, name, Variant(std::move(done.fresh)), InvokeKind::PropertyPut);
        }
        continue;
      }
      const std::size_t i = frame.next++;
      Variant element = frame.source.GetFlat(i);
      if (element.IsArray()) {
        if (MayHoldObjects(element.Array())) {
          StartArray(at, frame.member, i, element.Array());
        } else {
          frame.fresh.SetFlat(i, element);
        }
        continue;
      }
      if (!element.IsObject()) {
        frame.fresh.SetFlat(i, element);
        continue;
      }

      // An object in the array: as a subobject of the member, named by its
      // indices ("Sections(3)", "Grid(-1,2)", "Data(0)(1)" in a nested array).
      const std::string name = ElementName(level, i);
      bool cancel = false;
      if (settings.raise_recursion_check_event) {
        cancel = ctx_.RaiseRecursionCheck(ParentOf(at), level.source, name, false, 0);
        if (ctx_.Aborted()) return Step::kAborted;
      }
      // Cancelled: the element stays as the new array holds it.
      if (cancel) continue;
      if (const Step step = Enter(at, ObjectRef(element.Object()), name, frame.member, i);
          step != Step::kDone) {
        return step;
      }
    }
    return Step::kDone;
  }

  // The name of the element at `flat` of the innermost array under way, one
  // of the level's.
  std::string ElementName(const Level& level, std::size_t flat) const {
    return ElementNameAt(static_cast<std::size_t>(&level - levels_.data()), flat);
  }

  // The name of the element at `flat` of the innermost array under way of the
  // level at `at`: "Sections(3)", "Data(0)(1)".
  std::string ElementNameAt(std::size_t at, std::size_t flat) const {
    std::size_t last = arrays_.size() - 1;
    while (arrays_[last].level != at) --last;
    std::size_t first = last;
    while (first > 0 && arrays_[first - 1].level == at) --first;
    std::string name(levels_[at].plan->iface->Members()[arrays_[first].member].Name());
    for (std::size_t k = first; k <= last; ++k) {
      AppendElementIndex(name, arrays_[k].source.Bounds(), k < last ? arrays_[k + 1].slot : flat);
    }
    return name;
  }

  // Lists the raising get of the property `name` of the level at `at`, whose
  // error is in failure_.
  void NoteRaised(std::size_t at, std::string_view name) {
    const std::exception_ptr failure = std::exchange(failure_, nullptr);
    if (ctx_.KeepsRaised()) {
      ctx_.NoteRaised(PathTo(at, name), failure);
    } else {
      ctx_.CountRaised();
    }
  }

  // The path from the root to the member or element `name` of the level at
  // `at`: "Invoice.Lines(2).Carrier".
  std::string PathTo(std::size_t at, std::string_view name) const {
    return JoinPath(at + 2, [&](std::string& out, std::size_t k) {
      if (k == 0) {
        out += TypeNameOf(levels_[0].source);
      } else if (k > at) {
        out += name;
      } else if (const Level& level = levels_[k]; level.via_element == kNoElement) {
        out += levels_[k - 1].plan->iface->Members()[level.via_member].Name();
      } else {
        out += ElementNameAt(k - 1, level.via_element);
      }
    });
  }

  // Whether a field holds an array that may hold objects, in the client
  // object or in the instance.
  static bool ObjectArrayIn(const FieldAccess& field, void* client) noexcept {
    VarType type = VarType::Empty;
    const SafeArray* array = field.ArrayFieldOf(client, type);
    return array != nullptr && MayHoldObjects(*array);
  }
  static bool ObjectArrayIn(const FieldAccess& field, Instance& object) noexcept {
    const SafeArray* array = field.ArrayIn(object);
    return array != nullptr && MayHoldObjects(*array);
  }

  // The reference that the field behind the member's get holds in the source,
  // or nullptr when the get is not the read of an object field.
  static const ObjectRef* ObjectHeld(const Level& level, const Accessors& access) noexcept {
    if (access.get_field == nullptr) return nullptr;
    if (level.source_client != nullptr) return access.get_field->ObjectFieldOf(level.source_client);
    return access.get_field->ObjectIn(*level.source);
  }

  EngineContext& ctx_;
  WalkLimits limits_;
  const ObjectRef& top_parent_;
  std::vector<Level> levels_;
  // The arrays whose objects are being copied, each for a level, innermost
  // last: a member's outermost array, then the Variant arrays nested in it.
  std::vector<ArrayFrame> arrays_;
  AddressIndex path_;
  PlanCache plans_;
  // With identity kept: each source object met so far, with its copy.
  struct Copied {
    ObjectRef source;
    ObjectRef copy;
  };
  bool identity_;
  std::vector<Copied> copied_;
  std::exception_ptr failure_;  // what the last get that failed raised
  AddressIndex copied_index_;
};

}  // namespace

void CopyProperties(EngineContext& ctx, const ObjectRef& source, const ObjectRef& target,
                    const ObjectRef& parent, std::int32_t& status) noexcept {
  status = kStatusOk;
  if (ctx.Aborted() || source.IsNull()) return;
  try {
    CopyWalk walk(ctx, parent);
    status = walk.Run(source, target);
  } catch (...) {
    // The walk's levels are gone, and with them every new instance that was
    // not yet assigned; the component drops the target.
    if (detail::IsOutOfMemory(std::current_exception())) {
      ctx.AbortOutOfMemory("copying the object graph");
    } else {
      ctx.Abort(std::current_exception());
    }
  }
}

}  // namespace replikon
