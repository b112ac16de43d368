#include "replikon/copy/copy_engine.hpp"

#include <cstddef>
#include <memory>
#include <new>
#include <span>
#include <string_view>
#include <unordered_map>
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

// The source objects on the current path of the walk, each with the position
// of its level on the work stack. Open addressing with linear probing; erasing
// shifts the following entries back, so no tombstones pile up on a long walk.
class PathIndex {
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

// One level of the walk: a source object being copied into its target.
struct Level {
  ObjectRef source;
  ObjectRef target;
  const InterfacePlan* plan = nullptr;  // null: nothing to copy
  bool target_shares_plan = false;      // the target has the source's interface
  std::int32_t status = kStatusOk;
  std::size_t next = 0;        // the next of the plan's visited members
  std::size_t via_member = 0;  // the parent's member that leads here
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
      : ctx_(ctx), limits_(ctx.Settings()), top_parent_(parent) {}

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
    while (!levels_.empty()) levels_.pop_back();
  }

 private:
  enum class Step { kDone, kDescend, kAborted };

  const ObjectRef& ParentOf(std::size_t at) const noexcept {
    return at == 0 ? top_parent_ : levels_[at - 1].source;
  }

  // `source` is not null.
  void Push(ObjectRef source, ObjectRef target, std::size_t via_member) {
    const InterfacePlan* plan = plans_.For(source->Class().Interface());
    const bool shares = plan != nullptr && target && target->Class().Interface() == plan->iface;
    void* source_client = nullptr;
    void* target_client = nullptr;
    if (plan != nullptr && plan->owner != nullptr) {
      if (source->Class().CppType() == *plan->owner) source_client = source->Self();
      if (shares && target->Class().CppType() == *plan->owner) target_client = target->Self();
    }
    const Instance* key = source.get();
    levels_.push_back(Level{std::move(source), std::move(target), plan, shares, kStatusOk, 0,
                            via_member, source_client, target_client});
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
      up.AssignRef(done.via_member, std::move(done.target));
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
    const InterfacePlan& plan = *level.plan;
    const std::span<const MemberDescription> members = plan.iface->Members();
    const EngineSettings& settings = ctx_.Settings();  // read live at each decision
    const Visit* const first = plan.visited.data();
    const Visit* const end = first + plan.visited.size();

    for (const Visit* visit = first + level.next; visit != end;) {
      if (level.source_client != nullptr && level.target_client != nullptr) {
        // Reading a field that gives a value and assigning that value to the
        // target's same field: the field is copied directly, and so is each
        // such field that follows.
        void* const source_client = level.source_client;
        void* const target_client = level.target_client;
        for (; visit != end && visit->value_field != nullptr; ++visit) {
          visit->value_field->CopyClientValue(source_client, target_client);
        }
        if (visit == end) break;
      }
      const std::size_t index = visit->member;
      const Accessors& access = plan.members[index];
      level.next = static_cast<std::size_t>(++visit - first);

      if (access.value_field != nullptr && level.target_shares_plan) {
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
          if (Read(access.get, *level.source, value)) {
            level.Assign(index, name, value, InvokeKind::PropertyPut);
          }
          continue;
        }

        if (!settings.recursion_allowed) continue;

        // The second read fails or no longer gives an object: nothing to process.
        if (!Read(access.get, *level.source, value) || !value.IsObject()) continue;
        sub = value.Object();
      }

      bool cancel = false;
      if (settings.raise_recursion_check_event) {
        cancel = ctx_.RaiseRecursionCheck(ParentOf(at), level.source, name, false, 0);
        if (ctx_.Aborted()) return Step::kAborted;
      }
      if (cancel) continue;

      if (sub.IsNull()) {
        level.AssignRef(index, ObjectRef{});
        continue;
      }

      // A subobject on the current path (the object itself or an ancestor)
      // closes a cycle: the copy points to the copy of that object instead of
      // descending again.
      if (const std::size_t on_path = path_.Find(sub.get()); on_path != PathIndex::kNone) {
        level.AssignRef(index, levels_[on_path].target);
        continue;
      }

      std::int32_t creation = kStatusOk;
      ObjectRef fresh = CreateInstance(ctx_, TypeNameOf(sub), creation);
      if (ctx_.Aborted()) return Step::kAborted;
      if (creation != kStatusOk) {
        // An external subobject: a class that the server does not make.
        if (settings.problems_notification == OnSubobjectProblem) {
          level.status = creation;
          ctx_.RaiseRecursionCheck(ParentOf(at), level.source, name, true,
                                   static_cast<std::int16_t>(creation));
          if (ctx_.Aborted()) return Step::kAborted;
        }
        if (settings.set_external_references) {
          level.AssignRef(index, std::move(sub));
        }
        continue;
      }

      // A copy past the call's limits is not filled: the call ends.
      if (!ctx_.EnterLimited(limits_, levels_.size() + 1)) return Step::kAborted;
      // `level` goes with the push; the walk resumes it after the new level.
      Push(std::move(sub), std::move(fresh), index);
      return Step::kDescend;
    }
    return Step::kDone;
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
  PathIndex path_;
  PlanCache plans_;
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
