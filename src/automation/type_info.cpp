// Type information and late-bound invocation.
#include "replikon/automation/type_info.hpp"

#include <cstddef>
#include <exception>
#include <new>
#include <string>
#include <unordered_set>
#include <utility>

#include "automation/invoke_kind_text.hpp"
#include "replikon/automation/error.hpp"

namespace replikon {

const char* detail::InvokeKindText(InvokeKind kind) noexcept {
  switch (kind) {
    case InvokeKind::Function:
      return "function";
    case InvokeKind::PropertyGet:
      return "get";
    case InvokeKind::PropertyPut:
      return "let";
    case InvokeKind::PropertyPutRef:
      return "set";
  }
  return "?";
}

namespace {

// Identifiers given to members declared without one, as the platform's own
// class compiler numbers them.
constexpr DispId kFirstGeneratedId = 0x60030000;

constexpr std::array<std::int32_t, 4> kNoMembers{-1, -1, -1, -1};

// "property get", "property let", "property set", "method".
std::string KindText(InvokeKind kind) {
  if (kind == InvokeKind::Function) return "method";
  return std::string("property ") + detail::InvokeKindText(kind);
}

// "the property let \"Price\" of Invoice".
std::string MemberText(const MemberDescription& member, const Instance& self) {
  std::string text = "the ";
  text += KindText(member.InvokeKind());
  text += " \"";
  text += member.Name();
  text += "\" of ";
  text += self.Class().Name();
  return text;
}

// Error 438 for a member that `object` does not have; `member` is its quoted
// name or its identifier.
[[noreturn]] void RaiseNoMember(const Instance& object, const std::string& member,
                                InvokeKind kind) {
  errors::RaiseWithDetail(errors::kNotSupported,
                          object.Class().Name() + " has no " + KindText(kind) + " " + member);
}

// Called inside a catch block: rethrows the exception being handled as an
// AutomationError, a type mismatch saying in which member it arose.
[[noreturn]] void RethrowFromMember(const MemberDescription& member, const Instance& self) {
  try {
    errors::RethrowAsAutomationError();
  } catch (const AutomationError& e) {
    if (e.Number() != errors::kTypeMismatch) throw;
    throw e.WithDetail("in " + MemberText(member, self));
  }
}

// The slot of an invoke kind in the name index; -1 for a value that is no kind.
constexpr int SlotOf(InvokeKind kind) noexcept {
  switch (kind) {
    case InvokeKind::PropertyGet:
      return 0;
    case InvokeKind::PropertyPut:
      return 1;
    case InvokeKind::PropertyPutRef:
      return 2;
    case InvokeKind::Function:
      return 3;
  }
  return -1;
}

// Types that a let converts to and a typed get or function always yields:
// the element types of arrays that hold one plain value.
bool IsScalarType(VarType t) noexcept {
  return IsArrayElementType(t) && t != VarType::Dispatch && t != VarType::Error &&
         t != VarType::Variant;
}

// Error 13 for a value that a property of type `declared` does not take.
[[noreturn]] void RaiseNotAssignable(const Variant& value, VarType declared) {
  errors::RaiseWithDetail(errors::kTypeMismatch, "a " + TypeName(value.Type()) +
                                                     " does not convert to " + TypeName(declared));
}

// The new value of a let, made fit for a property declared as `declared`.
// Returns false when the value may be passed on as it is; otherwise stores the
// value to pass in `out`. Raises the conversion errors.
bool PrepareLetValue(const Variant& value, VarType declared, Variant& out) {
  if (IsArrayType(declared)) {
    // An array property takes an array of exactly its type and nothing else.
    if (!value.IsArray() || value.Type() != declared) RaiseNotAssignable(value, declared);
    return false;
  }
  switch (declared) {
    case VarType::Variant:
    case VarType::Empty:
      // A let of an object assigns the object's value, not the reference.
      if (!value.IsObject()) return false;
      out = ValueOf(value);
      return true;
    case VarType::Dispatch:
      // A let of a property typed as an object passes the reference on.
      if (!value.IsObject()) RaiseNotAssignable(value, declared);
      return false;
    default:
      if (value.Type() == declared) return false;
      out = ChangeType(value, declared);
      return true;
  }
}

// A get without arguments: the body's value, of the declared type when that is
// a scalar type.
Variant GetTyped(const MemberFunction& body, VarType declared, Instance& self) {
  Variant result = body(self, {});
  if (result.Type() != declared && IsScalarType(declared)) result = ChangeType(result, declared);
  return result;
}

// A let or set (`kind`) of `value` straight to the field; false when the field
// declines it and the general path is to take it. Kept out of Invoke, whose
// get of a field is the call the engines make most.
[[gnu::noinline]] bool AssignField(const detail::FieldAccess& field, InvokeKind kind,
                                   Instance& self, const Variant& value) {
  try {
    if (kind == InvokeKind::PropertyPut) return field.AssignValue(self, value);
    if (kind == InvokeKind::PropertyPutRef) {
      return value.IsObject() && field.SetObject(self, value.Object());
    }
    return false;
  } catch (...) {
    errors::RethrowAsAutomationError();
  }
}

}  // namespace

// ---- MemberDescription -------------------------------------------------------

MemberDescription::MemberDescription(std::string name, replikon::InvokeKind kind,
                                     replikon::VarType type, MemberFunction body)
    : name_(std::move(name)), kind_(kind), type_(type), body_(std::move(body)) {}

MemberDescription MemberDescription::WithRefArgs(std::string name, replikon::InvokeKind kind,
                                                 replikon::VarType type, RefMemberFunction body) {
  MemberDescription m(std::move(name), kind, type, MemberFunction{});
  m.ref_body_ = std::move(body);
  return m;
}

Variant MemberDescription::Invoke(Instance& self, std::span<const Variant> args) const {
  // The engines' most frequent calls, the get of a field and the let or set of
  // a value that needs no conversion, go straight to the field; anything else
  // (and a field that declines) takes the general path.
  if (field_ != nullptr && params_.empty() && !ref_body_) {
    if (args.empty() && kind_ == InvokeKind::PropertyGet) {
      try {
        return field_->Get(self);
      } catch (...) {
        RethrowFromMember(*this, self);
      }
    }
    if (args.size() == 1) {
      try {
        if (AssignField(*field_, kind_, self, args[0])) return {};
      } catch (...) {
        RethrowFromMember(*this, self);
      }
    }
  }
  return Call(self, args, nullptr);
}

Variant MemberDescription::InvokeRef(Instance& self, std::span<Variant> args) const {
  // A body that takes its arguments by value changes none of the caller's: the
  // call is the one Invoke makes, the field's own assignment included.
  if (!ref_body_) return Invoke(self, args);
  return Call(self, args, args.data());
}

Variant MemberDescription::Call(Instance& self, std::span<const Variant> args,
                                Variant* caller_args) const {
  try {
    // What the engines call for every property: a get, let or set of a
    // property without parameters, whose body takes the arguments as given.
    // The same steps as below, without the general argument handling.
    if (params_.empty() && body_ && !ref_body_) {
      if (args.empty() && kind_ == InvokeKind::PropertyGet) {
        return GetTyped(body_, type_.VarType(), self);
      }
      if (args.size() == 1 && kind_ == InvokeKind::PropertyPutRef) {
        if (!args[0].IsObject()) errors::Raise(errors::kObjectRequired);
        body_(self, args);
        return {};
      }
      if (args.size() == 1 && kind_ == InvokeKind::PropertyPut) {
        Variant converted;
        if (PrepareLetValue(args[0], type_.VarType(), converted)) {
          body_(self, std::span<const Variant>(&converted, 1));
        } else {
          body_(self, args);
        }
        return {};
      }
    }

    if (!body_ && !ref_body_) {
      errors::RaiseWithDetail(errors::kNotSupported, MemberText(*this, self) + " has no code");
    }

    std::size_t required = 0;
    for (const ParamDescription& p : params_) {
      if (!p.optional) ++required;
    }
    const std::size_t total = params_.size();
    const bool assigns = kind_ == InvokeKind::PropertyPut || kind_ == InvokeKind::PropertyPutRef;
    const std::size_t extra = assigns ? 1 : 0;
    const std::size_t given = args.size();
    if (given < required + extra || given > total + extra) {
      // "the method \"Item\" of Invoice takes 1 to 2 arguments, 3 given".
      std::string detail = MemberText(*this, self) + " takes " + std::to_string(required + extra);
      if (total > required) detail += " to " + std::to_string(total + extra);
      detail += total + extra == 1 ? " argument, " : " arguments, ";
      detail += std::to_string(given) + " given";
      errors::RaiseWithDetail(errors::kWrongArguments, detail);
    }

    Variant converted;
    bool use_converted = false;
    if (kind_ == InvokeKind::PropertyPutRef) {
      if (!args.back().IsObject()) errors::Raise(errors::kObjectRequired);
    } else if (kind_ == InvokeKind::PropertyPut) {
      use_converted = PrepareLetValue(args.back(), type_.VarType(), converted);
    }

    Variant result;
    if (ref_body_) {
      // The body works on arguments of its own; the by-reference ones go back
      // to a caller that passed its variables.
      std::vector<Variant> own(args.begin(),
                               args.begin() + static_cast<std::ptrdiff_t>(given - extra));
      own.resize(total, Variant::Missing());
      if (assigns) own.push_back(use_converted ? std::move(converted) : args.back());
      result = ref_body_(self, own);
      if (caller_args != nullptr) {
        for (std::size_t i = 0; i < given - extra; ++i) {
          if (params_[i].by_ref) caller_args[i] = std::move(own[i]);
        }
      }
    } else if (given == total + extra && !use_converted) {
      result = body_(self, args);
    } else if (given == 1 && total == 0) {
      // A plain let whose value was converted: no index arguments to carry.
      result = body_(self, std::span<const Variant>(&converted, 1));
    } else {
      // Omitted optional arguments are passed as Missing, the new value last.
      std::vector<Variant> full;
      full.reserve(total + extra);
      full.insert(full.end(), args.begin(),
                  args.begin() + static_cast<std::ptrdiff_t>(given - extra));
      full.resize(total, Variant::Missing());
      if (assigns) full.push_back(use_converted ? std::move(converted) : args.back());
      result = body_(self, full);
    }

    if (!assigns) {
      // A typed get or function yields a value of its declared type.
      const VarType declared = type_.VarType();
      if (result.Type() != declared && IsScalarType(declared)) return ChangeType(result, declared);
      return result;
    }
    return {};
  } catch (...) {
    RethrowFromMember(*this, self);
  }
}

// ---- InterfaceDescription ----------------------------------------------------

InterfaceDescription::InterfaceDescription(std::string name, std::vector<MemberDescription> members)
    : name_(std::move(name)), members_(std::move(members)) {
  // One identifier per name: the one given to any accessor, else a new one.
  std::unordered_map<std::string_view, DispId> ids;
  std::unordered_set<DispId> used;
  for (const MemberDescription& m : members_) {
    if (m.MemberId() == kDispIdUnknown) continue;
    ids.try_emplace(m.Name(), m.MemberId());
    used.insert(m.MemberId());
  }
  DispId next = kFirstGeneratedId;
  for (MemberDescription& m : members_) {
    if (m.MemberId() != kDispIdUnknown) continue;
    auto it = ids.find(m.Name());
    if (it == ids.end()) {
      while (used.contains(next)) ++next;
      it = ids.emplace(m.Name(), next).first;
      used.insert(next++);
    }
    m.SetMemberId(it->second);
  }

  index_.reserve(members_.size());
  for (std::size_t i = 0; i < members_.size(); ++i) {
    const MemberDescription& m = members_[i];
    auto& by_name = index_.try_emplace(m.Name(), kNoMembers).first->second;
    auto& by_id = by_id_.try_emplace(m.MemberId(), kNoMembers).first->second;
    const int slot = SlotOf(m.InvokeKind());
    if (slot < 0) continue;
    // The first member of a name and kind is the one that is found.
    if (by_name[slot] < 0) by_name[slot] = static_cast<std::int32_t>(i);
    if (by_id[slot] < 0) by_id[slot] = static_cast<std::int32_t>(i);
  }
}

const MemberDescription* InterfaceDescription::Find(std::string_view name,
                                                    InvokeKind kind) const noexcept {
  const int slot = SlotOf(kind);
  if (slot < 0) return nullptr;
  const auto it = index_.find(name);
  if (it == index_.end()) return nullptr;
  const std::int32_t i = it->second[static_cast<std::size_t>(slot)];
  return i < 0 ? nullptr : &members_[static_cast<std::size_t>(i)];
}

const MemberDescription* InterfaceDescription::FindById(DispId id, InvokeKind kind) const noexcept {
  const int slot = SlotOf(kind);
  if (slot < 0) return nullptr;
  const auto it = by_id_.find(id);
  if (it == by_id_.end()) return nullptr;
  const std::int32_t i = it->second[static_cast<std::size_t>(slot)];
  return i < 0 ? nullptr : &members_[static_cast<std::size_t>(i)];
}

bool InterfaceDescription::HasName(std::string_view name) const noexcept {
  return index_.find(name) != index_.end();
}

// ---- ClassInfo and Instance --------------------------------------------------

ClassInfo::ClassInfo(std::string class_name, std::shared_ptr<const InterfaceDescription> iface,
                     const std::type_info& cpp_type)
    : name_(std::move(class_name)),
      iface_(iface != nullptr ? std::move(iface)
                              : std::make_shared<const InterfaceDescription>(
                                    "_" + name_, std::vector<MemberDescription>{})),
      cpp_type_(&cpp_type) {}

namespace {
// The class of an instance made without one: no members, reported as "Object".
const std::shared_ptr<const ClassInfo>& ClasslessInfo() {
  static const std::shared_ptr<const ClassInfo> info =
      std::make_shared<const ClassInfo>("Object", nullptr, typeid(void));
  return info;
}
}  // namespace

Instance::Instance(std::shared_ptr<const ClassInfo> cls) noexcept
    : class_(cls != nullptr ? std::move(cls) : ClasslessInfo()) {
  class_->live_.fetch_add(1, std::memory_order_relaxed);
}

Instance::~Instance() {
  class_->live_.fetch_sub(1, std::memory_order_relaxed);
}

// ---- The operations the engines use ------------------------------------------

std::shared_ptr<const InterfaceDescription> DescribeObject(const ObjectRef& object) {
  if (object.IsNull()) errors::Raise(errors::kObjectNotSet);
  return object->Class().Interface();
}

Variant InvokeByName(const ObjectRef& object, std::string_view name, InvokeKind kind,
                     std::span<const Variant> args) {
  if (object.IsNull()) errors::Raise(errors::kObjectNotSet);
  const MemberDescription* member = object->Class().Interface()->Find(name, kind);
  if (member == nullptr) RaiseNoMember(*object, "\"" + std::string(name) + "\"", kind);
  return member->Invoke(*object, args);
}

Variant InvokeById(const ObjectRef& object, DispId id, InvokeKind kind,
                   std::span<const Variant> args) {
  if (object.IsNull()) errors::Raise(errors::kObjectNotSet);
  const MemberDescription* member = object->Class().Interface()->FindById(id, kind);
  if (member == nullptr) RaiseNoMember(*object, "with the identifier " + std::to_string(id), kind);
  return member->Invoke(*object, args);
}

Variant InvokeByNameRef(const ObjectRef& object, std::string_view name, InvokeKind kind,
                        std::span<Variant> args) {
  if (object.IsNull()) errors::Raise(errors::kObjectNotSet);
  const MemberDescription* member = object->Class().Interface()->Find(name, kind);
  if (member == nullptr) RaiseNoMember(*object, "\"" + std::string(name) + "\"", kind);
  return member->InvokeRef(*object, args);
}

Variant InvokeByIdRef(const ObjectRef& object, DispId id, InvokeKind kind,
                      std::span<Variant> args) {
  if (object.IsNull()) errors::Raise(errors::kObjectNotSet);
  const MemberDescription* member = object->Class().Interface()->FindById(id, kind);
  if (member == nullptr) RaiseNoMember(*object, "with the identifier " + std::to_string(id), kind);
  return member->InvokeRef(*object, args);
}

std::string ClassNameOf(const ObjectRef& object) {
  if (object.IsNull()) return "Nothing";
  return object->Class().Name();
}

std::string ClassNameOf(const Variant& value) {
  if (const ObjectRef* object = value.GetIf<ObjectRef>()) return ClassNameOf(*object);
  return "Nothing";
}

}  // namespace replikon
