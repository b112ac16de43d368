// Type information and late-bound invocation of automation objects.
#pragma once

#include "replikon/export.hpp"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <typeinfo>
#include <unordered_map>
#include <utility>
#include <vector>

#include "replikon/automation/object_ref.hpp"
#include "replikon/automation/variant.hpp"
#include "replikon/detail/field_access.hpp"
#include "replikon/detail/string_hash.hpp"

namespace replikon {

// OLE Automation INVOKEKIND.
enum class InvokeKind : std::uint16_t {
  Function = 1,
  PropertyGet = 2,
  PropertyPut = 4,     // let
  PropertyPutRef = 8,  // set
};

using DispId = std::int32_t;
inline constexpr DispId kDispIdValue = 0;     // the default member
inline constexpr DispId kDispIdUnknown = -1;  // no identifier given

class REPLIKON_API TypeDescription {
 public:
  TypeDescription() noexcept = default;
  explicit TypeDescription(replikon::VarType vt) noexcept : vt_(vt) {}
  // A type that a type library defines (an enumeration), by its name; values
  // of it are held as `vt`.
  TypeDescription(replikon::VarType vt, std::string user_type) noexcept
      : vt_(vt), user_type_(std::move(user_type)) {}

  replikon::VarType VarType() const noexcept { return vt_; }
  // The name of the library's own type; "" for a plain automation type.
  const std::string& UserType() const noexcept { return user_type_; }

 private:
  replikon::VarType vt_ = replikon::VarType::Empty;
  std::string user_type_;
};

struct REPLIKON_API ParamDescription {
  std::string name;
  VarType type = VarType::Variant;
  bool by_ref = false;
  bool optional = false;
};

class Instance;

// The body of one member: called with the object and the arguments, one per
// declared parameter (omitted optional ones given as Variant::Missing()), and
// for a let or set the new value last, already converted to the declared type
// for a let of a typed property. May raise AutomationError.
using MemberFunction = std::function<Variant(Instance& self, std::span<const Variant> args)>;
// The body of a member that changes its by-reference arguments: called as a
// MemberFunction is, on a list of arguments of its own; after the call the
// values left in the by-reference parameters go back to a caller that passed
// its own variables (InvokeByNameRef).
using RefMemberFunction = std::function<Variant(Instance& self, std::span<Variant> args)>;

// One entry of an interface: a method or one accessor of a property.
class REPLIKON_API MemberDescription {
 public:
  MemberDescription(std::string name, replikon::InvokeKind kind, replikon::VarType type,
                    MemberFunction body);
  // A member whose body may change its by-reference arguments.
  static MemberDescription WithRefArgs(std::string name, replikon::InvokeKind kind,
                                       replikon::VarType type, RefMemberFunction body);

  const std::string& Name() const noexcept { return name_; }
  replikon::InvokeKind InvokeKind() const noexcept { return kind_; }
  // For a get: the value's type; for a let or set: the type of the new value;
  // for a method: its return type (Empty for none).
  const TypeDescription& PropertyType() const noexcept { return type_; }

  DispId MemberId() const noexcept { return id_; }
  std::span<const ParamDescription> Params() const noexcept { return params_; }
  const std::string& HelpString() const noexcept { return help_string_; }
  std::int32_t HelpContext() const noexcept { return help_context_; }
  bool Hidden() const noexcept { return hidden_; }

  // Calls the body; checks the argument count and converts a let's value to the
  // declared type first (450, 13, 6, 94 as the rules give). What the body
  // leaves in by-reference parameters is dropped, as for arguments passed by
  // value.
  Variant Invoke(Instance& self, std::span<const Variant> args) const;
  // Same, the arguments being the caller's own variables: each one passed to a
  // by-reference parameter (ParamDescription::by_ref) holds, when the call
  // returns, the value that the body left in it. The others are not changed.
  Variant InvokeRef(Instance& self, std::span<Variant> args) const;

  // Set while a class is defined.
  MemberDescription& SetMemberId(DispId id) {
    id_ = id;
    return *this;
  }
  MemberDescription& SetParams(std::vector<ParamDescription> params) {
    params_ = std::move(params);
    return *this;
  }
  MemberDescription& SetHelp(std::string help_string, std::int32_t help_context) {
    help_string_ = std::move(help_string);
    help_context_ = help_context;
    return *this;
  }
  MemberDescription& SetHidden(bool hidden) {
    hidden_ = hidden;
    return *this;
  }
  // Names the library's own type that PropertyType() holds (an enumeration).
  MemberDescription& SetUserType(std::string user_type) {
    type_ = TypeDescription(type_.VarType(), std::move(user_type));
    return *this;
  }
  // The field behind a property accessor without parameters whose body reads
  // or assigns exactly that field. Invoke then answers a get, and a let or set
  // of a value that needs no conversion, through the field access.
  MemberDescription& SetField(std::shared_ptr<const detail::FieldAccess> field) {
    field_ = std::move(field);
    return *this;
  }
  // The field behind the member, or nullptr.
  const detail::FieldAccess* Field() const noexcept { return field_.get(); }
  // The field through which Invoke answers this member's calls without
  // handling arguments (a member without parameters), or nullptr.
  const detail::FieldAccess* DirectField() const noexcept {
    return params_.empty() && !ref_body_ ? field_.get() : nullptr;
  }

 private:
  Variant Call(Instance& self, std::span<const Variant> args, Variant* caller_args) const;

  std::string name_;
  replikon::InvokeKind kind_;
  TypeDescription type_;
  MemberFunction body_;
  RefMemberFunction ref_body_;
  std::shared_ptr<const detail::FieldAccess> field_;
  DispId id_ = kDispIdUnknown;
  std::vector<ParamDescription> params_;
  std::string help_string_;
  std::int32_t help_context_ = 0;
  bool hidden_ = false;
};

// An object's default automation interface: its members in declared order,
// hidden ones included, every accessor an entry of its own.
//
// Members given without an identifier receive one here; the accessors of one
// property share it (an identifier given to any of them is used for all).
class REPLIKON_API InterfaceDescription {
 public:
  InterfaceDescription(std::string name, std::vector<MemberDescription> members);

  const std::string& Name() const noexcept { return name_; }
  std::span<const MemberDescription> Members() const noexcept { return members_; }

  // The member with this name and invoke kind (exact, case-sensitive), or nullptr.
  // A hash lookup that allocates nothing.
  const MemberDescription* Find(std::string_view name, InvokeKind kind) const noexcept;
  // The member with this identifier and invoke kind, or nullptr.
  const MemberDescription* FindById(DispId id, InvokeKind kind) const noexcept;
  // Whether any member has this name.
  bool HasName(std::string_view name) const noexcept;

 private:
  std::string name_;
  std::vector<MemberDescription> members_;
  // name -> index of the first member per invoke kind (get, let, set, function)
  std::unordered_map<std::string, std::array<std::int32_t, 4>, detail::StringHash, std::equal_to<>>
      index_;
  // identifier -> the same, for FindById
  std::unordered_map<DispId, std::array<std::int32_t, 4>> by_id_;
};

// A class: its reported name, its interface, and a count of its live instances.
class REPLIKON_API ClassInfo {
 public:
  ClassInfo(std::string class_name, std::shared_ptr<const InterfaceDescription> iface,
            const std::type_info& cpp_type);

  // The name that ClassNameOf reports for instances.
  const std::string& Name() const noexcept { return name_; }
  const std::shared_ptr<const InterfaceDescription>& Interface() const noexcept { return iface_; }
  const std::type_info& CppType() const noexcept { return *cpp_type_; }
  // Instances of this class alive now.
  std::int64_t LiveInstances() const noexcept { return live_.load(std::memory_order_relaxed); }

 private:
  friend class Instance;
  std::string name_;
  std::shared_ptr<const InterfaceDescription> iface_;
  const std::type_info* cpp_type_;
  mutable std::atomic<std::int64_t> live_{0};
};

// The base of every automation object: the class it belongs to and the client's
// C++ object. Made by the registry or by MakeObject; counted live while it exists.
class REPLIKON_API Instance : public std::enable_shared_from_this<Instance> {
 public:
  explicit Instance(std::shared_ptr<const ClassInfo> cls) noexcept;
  virtual ~Instance();
  Instance(const Instance&) = delete;
  Instance& operator=(const Instance&) = delete;

  const ClassInfo& Class() const noexcept { return *class_; }
  const std::shared_ptr<const ClassInfo>& ClassPtr() const noexcept { return class_; }
  // The client's object.
  virtual void* Self() noexcept = 0;
  // A new reference to this object (for a client's method that hands itself out).
  ObjectRef Reference() { return ObjectRef(shared_from_this()); }

 private:
  std::shared_ptr<const ClassInfo> class_;
};

template <class T>
T* ObjectRef::As() const noexcept {
  if (p_ == nullptr || p_->Class().CppType() != typeid(T)) return nullptr;
  return static_cast<T*>(p_->Self());
}

// ---- The operations the engines use ----------------------------------------

// The object's default interface; AutomationError 91 for a null reference.
REPLIKON_API std::shared_ptr<const InterfaceDescription> DescribeObject(const ObjectRef& object);

// Invokes a member by name. A get takes no arguments (a parameterised property
// takes its index arguments); a let or set takes one, the new value; a let
// converts it to the property's declared type. Raises 91 for a null reference,
// 438 for an unknown member or kind, 450 for a wrong argument count, the
// conversion errors, and any error the client's code raises, unchanged.
REPLIKON_API Variant InvokeByName(const ObjectRef& object, std::string_view name, InvokeKind kind,
                                  std::span<const Variant> args = {});
// Same, by member identifier.
REPLIKON_API Variant InvokeById(const ObjectRef& object, DispId id, InvokeKind kind,
                                std::span<const Variant> args = {});
// InvokeByName and InvokeById with the caller's own variables as arguments: a
// member's by-reference parameters may change them (MemberDescription::InvokeRef).
REPLIKON_API Variant InvokeByNameRef(const ObjectRef& object, std::string_view name,
                                     InvokeKind kind, std::span<Variant> args);
REPLIKON_API Variant InvokeByIdRef(const ObjectRef& object, DispId id, InvokeKind kind,
                                   std::span<Variant> args);

// The class name that the object's type information gives; "Nothing" for a null
// reference or a value that is no object. Never raises.
REPLIKON_API std::string ClassNameOf(const ObjectRef& object);
REPLIKON_API std::string ClassNameOf(const Variant& value);

}  // namespace replikon
