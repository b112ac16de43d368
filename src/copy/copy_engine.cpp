#include "copy/copy_engine.hpp"

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "automation/out_of_memory.hpp"
#include "automation/pointer_map.hpp"
#include "copy/member_plan.hpp"
#include "copy/object_factory.hpp"
#include "replikon/automation/error.hpp"
#include "replikon/automation/type_info.hpp"

namespace replikon {

using detail::Accessors;
using detail::InterfacePlan;
using detail::PlanCache;
using detail::Read;
using detail::Visit;

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
  return detail::Assign(Callable(object, name, kind), *object, value);
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
    detail::Assign(kind == InvokeKind::PropertyPut ? a.let : a.set, *target, value);
  }

  // Assigns an object reference to a property of the target (kind 8).
  void AssignRef(std::size_t member, ObjectRef object) const {
    if (const detail::FieldAccess* field =
            target_shares_plan ? plan->members[member].set_field : nullptr) {
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
        case Step::Aborted:
          Unwind();
          return kStatusOk;
        case Step::Descend:
          break;
        case Step::Done:
          if (const std::int32_t status = Pop(); levels_.empty()) return status;
          break;
      }
    }
  }

  CopyWalk(const CopyWalk&) = delete;
  CopyWalk& operator=(const CopyWalk&) = delete;
  ~CopyWalk() { ReleaseCopies(); }

  // Drops every level without assigning anything further.
  void Unwind() noexcept {
    path_.Clear();
    arrays_.clear();
    while (!levels_.empty()) levels_.pop_back();
    ReleaseCopies();
  }

 private:
  enum class Step { Done, Descend, Aborted };

  // Lets go of the sources and copies that the table of copies holds, in the
  // order they were finished. By the end of a large walk their counts have
  // left the cache; each is fetched a few entries ahead of its release, so
  // that the releases do not wait for memory one after the other.
  void ReleaseCopies() noexcept {
    constexpr std::size_t kAhead = 8;
    const std::size_t n = copied_.size();
    for (std::size_t i = 0; i < n; ++i) {
      if (i + kAhead < n) {
        FetchCount(copied_[i + kAhead].copy.get());
        FetchCount(copied_[i + kAhead].source.get());
      }
      copied_[i].copy.Reset();
      copied_[i].source.Reset();
    }
    copied_.clear();
  }
  // A hint that the reference count of `object` is about to change. An
  // instance and its count share one allocation, the count just before it.
  static void FetchCount(const Instance* object) noexcept {
    if (object == nullptr) return;
    const auto at = reinterpret_cast<std::uintptr_t>(object);
    __builtin_prefetch(reinterpret_cast<const void*>(at - sizeof(void*)), 1);
  }

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
    // With identity kept, every further reference to the source, from
    // anywhere in the walk, gets this copy: the index names it by its address,
    // which stays its own as the level and then the table of copies hold it.
    const std::size_t number = identity_ ? AddressOf(target.get()) : levels_.size();
    levels_.push_back(Level{std::move(source), std::move(target), plan, shares, kStatusOk, 0,
                            via_member, via_element, source_client, target_client});
    path_.Insert(key, number);
  }

  // The number that names a copy in the index with identity kept (0 for a
  // source copied as Nothing), and the copy it names.
  static std::size_t AddressOf(const Instance* copy) noexcept {
    return static_cast<std::size_t>(reinterpret_cast<std::uintptr_t>(copy));
  }
  static Instance& CopyAt(std::size_t known) noexcept {
    return *reinterpret_cast<Instance*>(static_cast<std::uintptr_t>(known));
  }

  // Ends the top level: its status climbs to the level above, and its target is
  // assigned to the property that led to it. Returns the level's status.
  std::int32_t Pop() {
    Level& done = levels_.back();
    const std::int32_t status = done.status;
    if (levels_.size() > 1) {
      if (identity_) {
        // The level's holds pass to the table, so that the source's address
        // names it, and the copy lives, to the end of the walk.
        copied_.push_back(Copied{std::move(done.source), done.target});
      } else {
        path_.Erase(done.source.get());
      }
      Level& up = levels_[levels_.size() - 2];
      if (status != kStatusOk) up.status = status;
      Put(up, done.via_member, done.via_element, std::move(done.target));
    } else {
      path_.Erase(done.source.get());
    }
    levels_.pop_back();
    return status;
  }

  // Goes through the members of the top level until a subobject is to be
  // copied into a new instance (Descend, with its level pushed) or the
  // members are done.
  Step Advance() {
    const std::size_t at = levels_.size() - 1;
    Level& level = levels_[at];
    if (level.plan == nullptr) return Step::Done;
    if (!arrays_.empty() && arrays_.back().level == at) {
      // An element's copy is done: the member's arrays go on.
      if (const Step step = AdvanceArrays(at); step != Step::Done) return step;
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
              if (const Step step = AdvanceArrays(at); step != Step::Done) return step;
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
        if (ctx_.Aborted()) return Step::Aborted;
      }
      if (cancel) continue;

      // `level` goes with a push; the walk resumes it after the new level.
      if (const Step step = Enter(
              at, std::move(sub), [name] { return name; }, index, kNoElement);
          step != Step::Done) {
        return step;
      }
    }
    return Step::Done;
  }

  // A subobject met through the member or the element of the level at `at`
  // (`name_of()` naming it): a null reference, an object already copied, an
  // external object, or one to copy into a new instance (Descend, with its
  // level pushed). `sub` is a reference of the walk's own, or one that an
  // array under way holds (which nothing else can change). Inlined: it is the
  // step of every object property.
  template <class Ref, class NameOf>
  [[gnu::always_inline]] Step Enter(std::size_t at, Ref&& sub, const NameOf& name_of,
                                    std::size_t member, std::size_t element) {
    Level& level = levels_[at];
    if (sub.IsNull()) {
      Put(level, member, element, ObjectRef{});
      return Step::Done;
    }

    // A subobject on the current path (the object itself or an ancestor)
    // closes a cycle: the copy points to the copy of that object instead of
    // descending again. With identity kept, so does a reference to an object
    // copied before.
    if (const std::size_t* found = path_.Find(sub.get())) {
      const std::size_t known = *found;
      if (!identity_) {
        Put(level, member, element, levels_[known].target);
      } else if (known == 0) {
        Put(level, member, element, ObjectRef{});
      } else if (known == AddressOf(levels_.front().target.get())) {
        // The copy that the caller gave.
        Put(level, member, element, levels_.front().target);
      } else {
        // A copy that the walk made, held by its level or the table of
        // copies: the reference is taken from the copy itself, which spares
        // finding where it is held.
        Put(level, member, element, CopyAt(known).Reference());
      }
      return Step::Done;
    }

    const EngineSettings& settings = ctx_.Settings();
    std::int32_t creation = kStatusOk;
    ObjectRef fresh = CreateInstance(ctx_, TypeNameOf(sub), creation);
    if (ctx_.Aborted()) return Step::Aborted;
    if (creation != kStatusOk) {
      // An external subobject: a class that the server does not make.
      if (settings.problems_notification == ProblemsNotificationConstants::OnSubobjectProblem) {
        level.status = creation;
        if (ctx_.KeepsProblems()) {
          ctx_.NoteCreationProblem(PathTo(at, name_of()), TypeNameOf(sub), true);
        } else {
          ctx_.CountProblem();
        }
        ctx_.RaiseRecursionCheck(ParentOf(at), level.source, name_of(), true,
                                 static_cast<std::int16_t>(creation));
        if (ctx_.Aborted()) return Step::Aborted;
      }
      if (settings.set_external_references) {
        Put(level, member, element, std::forward<Ref>(sub));
      }
      return Step::Done;
    }

    // A copy past the call's limits is not filled: the call ends.
    if (!ctx_.EnterLimited(limits_, levels_.size() + 1)) return Step::Aborted;
    Push(ObjectRef(std::forward<Ref>(sub)), std::move(fresh), member, element);
    return Step::Descend;
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
  // The same with a further reference to an object held elsewhere.
  [[gnu::always_inline]] void Put(Level& level, std::size_t member, std::size_t element,
                                  const ObjectRef& object) {
    if (element == kNoElement) {
      level.AssignRef(member, object);
    } else {
      arrays_.back().fresh.SetFlatRef(element, object);
    }
  }

  // Goes through the elements of the arrays of the level at `at` until an
  // element's object is to be copied into a new instance (Descend, with its
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
      // The element is read where the array holds it: the frame's array is a
      // copy that only the walk holds, so nothing changes it meanwhile.
      const ObjectRef* object = nullptr;
      if (const std::span<const ObjectRef> objects = frame.source.FlatElements<ObjectRef>();
          i < objects.size()) {
        object = &objects[i];
      } else if (const std::span<const Variant> variants = frame.source.FlatElements<Variant>();
                 i < variants.size()) {
        const Variant& element = variants[i];
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
        object = &element.Object();
      } else {
        continue;  // not reached: an array that may hold objects is one of the two
      }

      // An object in the array: as a subobject of the member, named by its
      // indices ("Sections(3)", "Grid(-1,2)", "Data(0)(1)" in a nested array).
      const auto name_of = [this, &level, i] { return ElementName(level, i); };
      bool cancel = false;
      if (settings.raise_recursion_check_event) {
        cancel = ctx_.RaiseRecursionCheck(ParentOf(at), level.source, name_of(), false, 0);
        if (ctx_.Aborted()) return Step::Aborted;
      }
      // Cancelled: the element stays as the new array holds it.
      if (cancel) continue;
      if (const Step step = Enter(at, *object, name_of, frame.member, i); step != Step::Done) {
        return step;
      }
    }
    return Step::Done;
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
  static bool ObjectArrayIn(const detail::FieldAccess& field, void* client) noexcept {
    VarType type = VarType::Empty;
    const SafeArray* array = field.ArrayFieldOf(client, type);
    return array != nullptr && MayHoldObjects(*array);
  }
  static bool ObjectArrayIn(const detail::FieldAccess& field, Instance& object) noexcept {
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
  // A number for each of a set of source objects, by address: those on the
  // current path of the walk with the position of their level on the work
  // stack, or, with identity kept, every source object met with the address
  // of its copy.
  detail::PointerMap<std::size_t> path_;
  PlanCache plans_;
  // With identity kept: each source object whose copy is finished, with its
  // copy.
  struct Copied {
    ObjectRef source;
    ObjectRef copy;
  };
  bool identity_;
  std::vector<Copied> copied_;
  std::exception_ptr failure_;  // what the last get that failed raised
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
