// Internal to the engines: what by-name access reaches for each member of an
// interface, resolved once per interface and walk.
//
// Interfaces do not change once made, so the member that InvokeByName would
// find for a name and invoke kind is the same for every object of a class.
// The engines look each one up once per walk and invoke it directly, which is
// what InvokeByName does after its own look-up.
#pragma once

#include "replikon/detail/layer_copy.hpp"

#include <cstddef>
#include <exception>
#include <memory>
#include <span>
#include <string_view>
#include <typeinfo>
#include <unordered_map>
#include <vector>

#include "automation/out_of_memory.hpp"
#include "replikon/automation/type_info.hpp"

namespace replikon::detail {

// The hidden default member, which the engines never visit.
inline constexpr std::string_view kDefaultMember = "_Default";

// By-name access for the name of one member.
struct Accessors {
  bool visit = false;                      // a property get other than "_Default"
  const MemberDescription* get = nullptr;  // null: no get, or one that needs arguments
  const MemberDescription* let = nullptr;
  const MemberDescription* set = nullptr;
  // The field that both the get and the let read and assign, when it holds a
  // plain value: copying the property between two objects of the class is
  // copying the field.
  const detail::FieldAccess* value_field = nullptr;
  const detail::FieldAccess* get_field = nullptr;  // the field behind the get
  const detail::FieldAccess* set_field = nullptr;  // the field behind the set
};

// A member to visit, with the field of its value when copying it between two
// objects of the class is copying that field (Accessors::value_field).
struct Visit {
  std::size_t member = 0;
  const detail::FieldAccess* value_field = nullptr;
  // Whether the value may be an array that holds objects, by the type the
  // get declares: false for scalars and for arrays of scalars.
  bool may_hold_objects = true;
};

struct InterfacePlan {
  std::shared_ptr<const InterfaceDescription> iface;  // kept alive for the walk
  std::vector<Accessors> members;                     // one per member, in order
  std::vector<Visit> visited;                         // the members to visit, in order
  // The C++ type of the client objects that hold every field above, or nullptr
  // when the fields do not all name the same one: for objects of that type the
  // fields are reached without checking the class at each access.
  const std::type_info* owner = nullptr;
};

// The plans of the interfaces met in one walk.
class PlanCache {
 public:
  // The plan of `iface`, made on first use; nullptr for no interface.
  const InterfacePlan* For(const std::shared_ptr<const InterfaceDescription>& iface) {
    if (iface == nullptr) return nullptr;
    if (last_ != nullptr && last_->iface == iface) return last_;
    std::unique_ptr<InterfacePlan>& slot = plans_[iface.get()];
    if (slot == nullptr) slot = Make(iface);
    last_ = slot.get();
    return last_;
  }

 private:
  static std::unique_ptr<InterfacePlan> Make(std::shared_ptr<const InterfaceDescription> iface) {
    auto plan = std::make_unique<InterfacePlan>();
    const std::span<const MemberDescription> members = iface->Members();
    plan->members.resize(members.size());
    for (std::size_t i = 0; i < members.size(); ++i) {
      const MemberDescription& m = members[i];
      Accessors& a = plan->members[i];
      a.visit = m.InvokeKind() == InvokeKind::PropertyGet && m.Name() != kDefaultMember;
      a.get = Callable(iface->Find(m.Name(), InvokeKind::PropertyGet));
      a.let = iface->Find(m.Name(), InvokeKind::PropertyPut);
      a.set = iface->Find(m.Name(), InvokeKind::PropertyPutRef);
      a.get_field = a.get != nullptr ? a.get->Field() : nullptr;
      a.set_field = a.set != nullptr ? a.set->Field() : nullptr;
      if (a.get_field != nullptr && a.get_field->CopiesByValue() && a.let != nullptr &&
          a.let->Field() == a.get_field) {
        a.value_field = a.get_field;
      }
      if (a.visit) {
        plan->visited.push_back(Visit{i, a.value_field, MayHoldObjects(a.get)});
      }
    }
    plan->owner = CommonOwner(plan->members);
    plan->iface = std::move(iface);
    return plan;
  }
  static const std::type_info* CommonOwner(const std::vector<Accessors>& members) noexcept {
    const std::type_info* owner = nullptr;
    for (const Accessors& a : members) {
      for (const detail::FieldAccess* field : {a.value_field, a.get_field, a.set_field}) {
        if (field == nullptr) continue;
        const std::type_info& type = field->OwnerType();
        if (type == typeid(void) || (owner != nullptr && *owner != type)) return nullptr;
        owner = &type;
      }
    }
    return owner;
  }
  // Whether the get may give an array holding objects: its declared type is
  // not a scalar and not an array of scalars.
  static bool MayHoldObjects(const MemberDescription* getter) noexcept {
    if (getter == nullptr) return true;
    const auto base =
        static_cast<std::uint16_t>(Code(getter->PropertyType().VarType()) & ~Code(VarType::Array));
    return base == Code(VarType::Dispatch) || base == Code(VarType::Variant) ||
           base == Code(VarType::Empty);
  }
  // The getter, or nullptr when an empty argument list cannot call it.
  static const MemberDescription* Callable(const MemberDescription* getter) noexcept {
    if (getter == nullptr) return nullptr;
    for (const ParamDescription& p : getter->Params()) {
      if (!p.optional) return nullptr;
    }
    return getter;
  }

  std::unordered_map<const InterfaceDescription*, std::unique_ptr<InterfacePlan>> plans_;
  const InterfacePlan* last_ = nullptr;
};

// A property get with no arguments through the getter found; false when there
// is none or the read fails, and then, when `failure` is given, what the get
// raised goes there. Running out of memory is no failing read: it raises
// std::bad_alloc, which ends the walk.
inline bool Read(const MemberDescription* getter, Instance& object, Variant& value,
                 std::exception_ptr* failure = nullptr) {
  if (getter == nullptr) return false;
  try {
    value = getter->Invoke(object, {});
    return true;
  } catch (...) {
    detail::RethrowIfOutOfMemory();
    if (failure != nullptr) *failure = std::current_exception();
    return false;
  }
}

// An assignment through the let or set found, as SetPropertyByName makes it;
// false when there is none or it fails. Raises std::bad_alloc as Read does.
inline bool Assign(const MemberDescription* setter, Instance& object, const Variant& value) {
  if (setter == nullptr) return false;
  try {
    setter->Invoke(object, std::span<const Variant>(&value, 1));
    return true;
  } catch (...) {
    detail::RethrowIfOutOfMemory();
    return false;
  }
}

}  // namespace replikon::detail
