// Defining automation classes in plain C++.
//
// A class is an ordinary C++ type T (default-constructible) plus a list of
// members built with ClassBuilder<T>. Each property accessor becomes an entry of
// the class's interface, in the order in which it is declared:
//
//   struct Line { std::int32_t qty = 0; std::string item; replikon::ObjectRef product; };
//
//   server.Class<Line>("Line")
//       .Property("Quantity", &Line::qty)          // Long, get + let
//       .Property("Item", &Line::item)             // String, get + let
//       .Property("Product", &Line::product)       // object, get + set
//       .Get("Total", [](const Line& l) { return Currency{l.qty * 10000}; });  // Currency, get
//
// A link back to an owner is declared with WeakProperty, on a WeakObjectRef
// field, so that it does not keep the owner alive.
//
// Member functions may raise AutomationError; it reaches the caller unchanged.
// Any other exception reaches the caller as error 440 "Automation error".
#pragma once

#include "replikon/export.hpp"

#include <concepts>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "replikon/automation/error.hpp"
#include "replikon/automation/instance_lifetime.hpp"
#include "replikon/automation/safe_array.hpp"
#include "replikon/automation/type_info.hpp"
#include "replikon/automation/typed_ref.hpp"
#include "replikon/automation/variant.hpp"
#include "replikon/detail/member_conversions.hpp"

namespace replikon {

// The automation type of a C++ field type that a Variant holds as it is. A
// property declared by field may also be of these types, declared as the
// automation type they are (see the user guide's table):
//   - an enum with its enumerators declared (AutomationEnumerators, below):
//     Integer or Long; a let of a value that is no enumerator raises 380;
//   - other integers: Integer, Long or, for 64-bit ones and std::uint32_t,
//     Decimal (exact); a let of a value that does not fit raises 6;
//   - std::chrono::time_point of the system clock (sys_days, sys_time<...>): Date;
//   - std::optional<X> of any of these or of a type below: Variant, Empty when absent;
//   - std::vector<X> of those, of ObjectRef, Ref<U> or Variant: an array from 0;
//   - Ref<U>: Object, taking only objects of class U.
// An array field of any shape is a SafeArray declared with ArrayProperty.
//
// The enumerators of an enum are declared next to it, for argument-dependent
// lookup to find:
//
//   enum class Color { Red, Green, Blue };
//   constexpr auto AutomationEnumerators(Color) {
//     return std::array{Color::Red, Color::Green, Color::Blue};
//   }
//
// or, for an enum whose fields take any value of its type, return kOpenEnum.
template <class M>
struct AutomationType {};
// clang-format off
template <> struct AutomationType<std::int16_t> { static constexpr VarType value = VarType::I2; };
template <> struct AutomationType<std::int32_t> { static constexpr VarType value = VarType::I4; };
template <> struct AutomationType<float> { static constexpr VarType value = VarType::R4; };
template <> struct AutomationType<double> { static constexpr VarType value = VarType::R8; };
template <> struct AutomationType<Currency> { static constexpr VarType value = VarType::Cy; };
template <> struct AutomationType<Date> { static constexpr VarType value = VarType::Date; };
template <> struct AutomationType<std::string> { static constexpr VarType value = VarType::BStr; };
template <> struct AutomationType<ObjectRef> { static constexpr VarType value = VarType::Dispatch; };
template <> struct AutomationType<ErrorCode> { static constexpr VarType value = VarType::Error; };
template <> struct AutomationType<bool> { static constexpr VarType value = VarType::Bool; };
template <> struct AutomationType<Variant> { static constexpr VarType value = VarType::Variant; };
template <> struct AutomationType<Decimal> { static constexpr VarType value = VarType::Decimal; };
template <> struct AutomationType<std::uint8_t> { static constexpr VarType value = VarType::UI1; };
// clang-format on

// A C++ type with an automation type (see AutomationType).
template <class M>
concept AutomationTyped = requires {
  AutomationType<M>::value;
};

// The hooks of one class, shared by all its instances.
template <class T>
struct ClassHooks {
  std::function<void(T&)> on_initialize;
  std::function<void(T&)> on_terminate;
};

// The instance type that holds a client object of type T.
template <class T>
class InstanceOf final : public Instance {
 public:
  explicit InstanceOf(std::shared_ptr<const ClassInfo> cls) : Instance(std::move(cls)) {}
  ~InstanceOf() override {
    if (hooks_ != nullptr && hooks_->on_terminate) {
      try {
        hooks_->on_terminate(value_);
      } catch (...) {
        // An error in a class's termination code has nowhere to go: the last
        // reference is being released.
      }
    }
  }
  void* Self() noexcept override { return &value_; }
  T& Value() noexcept { return value_; }
  // From now on the class's termination code runs when the instance goes.
  void ArmTerminate(std::shared_ptr<const ClassHooks<T>> hooks) noexcept {
    hooks_ = std::move(hooks);
  }

 private:
  T value_{};
  std::shared_ptr<const ClassHooks<T>> hooks_;
};

// What a finished class definition gives the registry.
struct REPLIKON_API ClassDefinition {
  std::string prog_class;  // the class part of the programmatic identifier
  std::shared_ptr<const ClassInfo> info;
  std::function<ObjectRef()> create;  // may raise (a class's initialisation)
};

class REPLIKON_API ClassBuilderBase {
 public:
  virtual ~ClassBuilderBase() = default;
  virtual ClassDefinition Build() const = 0;
};

template <class T>
class ClassBuilder final : public ClassBuilderBase {
 public:
  explicit ClassBuilder(std::string class_name)
      : prog_class_(class_name), reported_name_(std::move(class_name)) {}

  // ---- Field-backed properties ---------------------------------------------
  // A scalar field gives get + let; an ObjectRef or Ref<U> field get + set; a
  // Variant field get + let + set. Fields of the standard types listed at
  // AutomationType are declared as the automation type they are.
  template <class M>
  ClassBuilder& Property(std::string name, M T::*field) {
    BeginGroup();
    if constexpr (AutomationTyped<M>) {
      auto access = std::make_shared<const FieldOf<M>>(field, AutomationType<M>::value);
      AddGet(name, access);
      AddAssign(std::move(name), field, access);
    } else {
      CheckConverted<M>();
      auto access = std::make_shared<const ConvertedFieldOf<M>>(field);
      AddConvertedGet(name, access);
      AddConvertedAssign(std::move(name), std::move(access));
    }
    return *this;
  }

  // A field holding an object without keeping it alive (get + set, of type
  // Object): a get gives the object while it lives, else Nothing. For links
  // back to an owner, which a counted reference would turn into a cycle that
  // is never freed:
  //
  //   .WeakProperty("Parent", &Section::parent)   // WeakObjectRef parent;
  ClassBuilder& WeakProperty(std::string name, WeakObjectRef T::*field) {
    BeginGroup();
    AddMember(name, InvokeKind::PropertyGet, VarType::Dispatch,
              [field](Instance& self, std::span<const Variant>) -> Variant {
                return Variant((Obj(self).*field).Lock());
              });
    AddMember(std::move(name), InvokeKind::PropertyPutRef, VarType::Dispatch,
              [field](Instance& self, std::span<const Variant> args) -> Variant {
                Obj(self).*field = args.back().Object();
                return {};
              });
    return *this;
  }

  // A field holding an array, declared as `Array | element_type` (get + let).
  // The let takes only an array of exactly that type.
  ClassBuilder& ArrayProperty(std::string name, SafeArray T::*field, VarType element_type) {
    BeginGroup();
    auto access = std::make_shared<const FieldOf<SafeArray>>(field, VarType::Array | element_type);
    AddGet(name, access);
    AddArrayLet(std::move(name), field, element_type, std::move(access));
    return *this;
  }

  // A field that can only be read (get).
  template <class M>
  ClassBuilder& ReadOnly(std::string name, M T::*field) {
    BeginGroup();
    if constexpr (AutomationTyped<M>) {
      AddGet(std::move(name), std::make_shared<const FieldOf<M>>(field, AutomationType<M>::value));
    } else {
      CheckConverted<M>();
      AddConvertedGet(std::move(name), std::make_shared<const ConvertedFieldOf<M>>(field));
    }
    return *this;
  }
  ClassBuilder& ReadOnly(std::string name, SafeArray T::*field, VarType element_type) {
    BeginGroup();
    AddGet(std::move(name),
           std::make_shared<const FieldOf<SafeArray>>(field, VarType::Array | element_type));
    return *this;
  }

  // A field that can only be assigned (let, set or both, as Property gives them).
  template <class M>
  ClassBuilder& WriteOnly(std::string name, M T::*field) {
    BeginGroup();
    if constexpr (AutomationTyped<M>) {
      AddAssign(std::move(name), field, std::shared_ptr<const FieldOf<M>>{});
    } else {
      CheckConverted<M>();
      AddConvertedAssign(std::move(name), std::make_shared<const ConvertedFieldOf<M>>(field));
    }
    return *this;
  }

  // ---- Function-backed accessors -------------------------------------------
  // A get. `f` is called as f(T&) or f(const T&) and returns anything a Variant
  // can be made from; or, for a parameterised property, as
  // f(T&, std::span<const Variant> args) with `params` describing the arguments
  // (an omitted optional argument arrives as Variant::Missing()). A result of
  // another scalar type than `type` is converted to it.
  template <class F>
  ClassBuilder& Get(std::string name, VarType type, F f,
                    std::vector<ParamDescription> params = {}) {
    BeginGroupUnlessSameName(name);
    MemberDescription& m = AddMember(
        std::move(name), InvokeKind::PropertyGet, type,
        [f = std::move(f)](Instance& self, std::span<const Variant> args) -> Variant {
          if constexpr (std::is_invocable_v<const F&, T&, std::span<const Variant>>) {
            return Variant(f(Obj(self), args));
          } else {
            static_assert(std::is_invocable_v<const F&, T&>, "a getter takes (T&) or (T&, args)");
            (void)args;
            return Variant(f(Obj(self)));
          }
        });
    m.SetParams(std::move(params));
    return *this;
  }
  // A get whose type is that of what `f(T&)` returns.
  template <class F>
  requires std::is_invocable_v<const F&, T&> &&
      AutomationTyped<std::remove_cvref_t<std::invoke_result_t<const F&, T&>>>
          ClassBuilder& Get(std::string name, F f) {
    constexpr VarType type =
        AutomationType<std::remove_cvref_t<std::invoke_result_t<const F&, T&>>>::value;
    return Get(std::move(name), type, std::move(f));
  }

  // A let. `f` is called as f(T&, const Variant& value), the value already
  // converted to `type` (for a Variant property: the value as given, an object
  // replaced by its default value); or, for a parameterised property, as
  // f(T&, std::span<const Variant> args) with the new value last.
  template <class F>
  ClassBuilder& Let(std::string name, VarType type, F f,
                    std::vector<ParamDescription> params = {}) {
    BeginGroupUnlessSameName(name);
    MemberDescription& m =
        AddMember(std::move(name), InvokeKind::PropertyPut, type,
                  [f = std::move(f)](Instance& self, std::span<const Variant> args) -> Variant {
                    if constexpr (std::is_invocable_v<const F&, T&, std::span<const Variant>>) {
                      f(Obj(self), args);
                    } else {
                      static_assert(std::is_invocable_v<const F&, T&, const Variant&>,
                                    "a let takes (T&, const Variant&) or (T&, args)");
                      f(Obj(self), args.back());
                    }
                    return {};
                  });
    m.SetParams(std::move(params));
    return *this;
  }
  // A let of type M: `f` is called as f(T&, M value) (or const M&), the value
  // converted to M. `Let<std::string>("Password", [](User& u, const std::string& v) {...})`.
  template <class M, class F>
  requires AutomationTyped<M> ClassBuilder& Let(std::string name, F f) {
    static_assert(std::is_invocable_v<const F&, T&, const M&>, "the let takes (T&, M)");
    return Let(std::move(name), AutomationType<M>::value,
               [f = std::move(f)](T& obj, const Variant& value) {
                 Variant scratch;
                 f(obj, ValueAs<M>(value, scratch));
               });
  }

  // A set (object reference). `f` is called as f(T&, const ObjectRef&) (a null
  // reference for Nothing); or, for a parameterised property, as
  // f(T&, std::span<const Variant> args) with the new reference last.
  template <class F>
  ClassBuilder& Set(std::string name, F f, VarType type = VarType::Dispatch,
                    std::vector<ParamDescription> params = {}) {
    BeginGroupUnlessSameName(name);
    MemberDescription& m =
        AddMember(std::move(name), InvokeKind::PropertyPutRef, type,
                  [f = std::move(f)](Instance& self, std::span<const Variant> args) -> Variant {
                    if constexpr (std::is_invocable_v<const F&, T&, std::span<const Variant>>) {
                      f(Obj(self), args);
                    } else {
                      static_assert(std::is_invocable_v<const F&, T&, const ObjectRef&>,
                                    "a set takes (T&, const ObjectRef&) or (T&, args)");
                      f(Obj(self), args.back().Object());
                    }
                    return {};
                  });
    m.SetParams(std::move(params));
    return *this;
  }

  // A method. `f` is called as f(T&, std::span<const Variant> args), as
  // f(T&, std::span<const Variant> args, Instance& self) when it needs the
  // object's own reference (self.Reference()), or as f(T&) when it takes no arguments.
  // It returns a value (anything a Variant can be made from) or nothing.
  //
  // A method that changes its by-reference parameters takes std::span<Variant>
  // instead: what it leaves in an argument whose ParamDescription is by_ref
  // reaches a caller that passed its own variables (InvokeByNameRef).
  template <class F>
  ClassBuilder& Method(std::string name, F f, std::vector<ParamDescription> params = {},
                       VarType return_type = VarType::Empty) {
    BeginGroup();
    if constexpr (ChangesArgs<F>) {
      members_.push_back(MemberDescription::WithRefArgs(
          std::move(name), InvokeKind::Function, return_type,
          [f = std::move(f)](Instance& self, std::span<Variant> args) -> Variant {
            return CallMethod(f, self, args);
          }));
    } else {
      AddMember(std::move(name), InvokeKind::Function, return_type,
                [f = std::move(f)](Instance& self, std::span<const Variant> args) -> Variant {
                  return CallMethod(f, self, args);
                });
    }
    members_.back().SetParams(std::move(params));
    return *this;
  }

  // ---- Attributes of the members added by the last call ---------------------
  ClassBuilder& Hidden() {
    return ForGroup([](MemberDescription& m) { m.SetHidden(true); });
  }
  ClassBuilder& Id(DispId id) {
    return ForGroup([id](MemberDescription& m) { m.SetMemberId(id); });
  }
  // Marks the last property or method as the default member (DISPID_VALUE).
  ClassBuilder& Default() { return Id(kDispIdValue); }
  ClassBuilder& Help(std::string help_string, std::int32_t help_context = 0) {
    return ForGroup([&](MemberDescription& m) { m.SetHelp(help_string, help_context); });
  }
  // The value is of a type that a type library defines (an enumeration held as
  // the declared VarType), by its name.
  ClassBuilder& UserType(const std::string& type_name) {
    return ForGroup([&](MemberDescription& m) { m.SetUserType(type_name); });
  }

  // ---- Class attributes ------------------------------------------------------
  // The class name that instances report (ClassNameOf), when it is not the name
  // the class is registered under.
  ClassBuilder& ReportsClassName(std::string name) {
    reported_name_ = std::move(name);
    return *this;
  }
  // Code run on a new instance after construction; may raise, and then the
  // creation fails with that error (and the termination code does not run).
  ClassBuilder& OnInitialize(std::function<void(T&)> f) {
    on_initialize_ = std::move(f);
    return *this;
  }
  // Code run when the last reference goes; an error it raises is ignored.
  ClassBuilder& OnTerminate(std::function<void(T&)> f) {
    on_terminate_ = std::move(f);
    return *this;
  }

  // The interface and class as defined so far.
  std::shared_ptr<const ClassInfo> BuildInfo() const {
    auto iface = std::make_shared<const InterfaceDescription>("_" + reported_name_, members_);
    return std::make_shared<const ClassInfo>(reported_name_, std::move(iface), typeid(T));
  }

  ClassDefinition Build() const override {
    ClassDefinition def;
    def.prog_class = prog_class_;
    def.info = BuildInfo();
    auto hooks =
        std::make_shared<const ClassHooks<T>>(ClassHooks<T>{on_initialize_, on_terminate_});
    def.create = [info = def.info, hooks = std::move(hooks)]() -> ObjectRef {
      auto instance = MakeInstance<InstanceOf<T>>(info);
      if (hooks->on_initialize) hooks->on_initialize(instance->Value());
      // Termination code runs only for an instance whose initialisation succeeded.
      if (hooks->on_terminate) instance->ArmTerminate(hooks);
      return ObjectRef(std::move(instance));
    };
    return def;
  }

 private:
  // The client object of an instance. The members of a class are only ever
  // invoked on its own instances; anything else is refused, not reinterpreted.
  static T& Obj(Instance& self) {
    if (self.Class().CppType() != typeid(T)) errors::Raise(errors::kNotSupported);
    return *static_cast<T*>(self.Self());
  }

  // The value as an M: the held one when it is an M already, else converted
  // into `scratch` (raising as ChangeType does).
  template <class M>
  static const M& ValueAs(const Variant& value, Variant& scratch) {
    if constexpr (std::is_same_v<M, Variant>) {
      return value;
    } else if constexpr (std::is_same_v<M, ObjectRef>) {
      return value.Object();
    } else {
      if (const M* held = value.template GetIf<M>()) return *held;
      scratch = ChangeType(value, AutomationType<M>::value);
      const M* converted = scratch.template GetIf<M>();
      if (converted == nullptr) errors::Raise(errors::kTypeMismatch);
      return *converted;
    }
  }

  // A method body that takes its arguments as std::span<Variant> only.
  template <class F>
  static constexpr bool ChangesArgs =
      !std::is_invocable_v<const F&, T&, std::span<const Variant>> &&
      !std::is_invocable_v<const F&, T&, std::span<const Variant>, Instance&> &&
      (std::is_invocable_v<const F&, T&, std::span<Variant>> ||
       std::is_invocable_v<const F&, T&, std::span<Variant>, Instance&>);

  // Args is std::span<const Variant>, or std::span<Variant> for a method that
  // changes its arguments.
  template <class F, class Args>
  static Variant CallMethod(const F& f, Instance& self, Args args) {
    if constexpr (std::is_invocable_v<const F&, T&, Args, Instance&>) {
      using R = std::invoke_result_t<const F&, T&, Args, Instance&>;
      if constexpr (std::is_void_v<R>) {
        f(Obj(self), args, self);
        return {};
      } else {
        return Variant(f(Obj(self), args, self));
      }
    } else if constexpr (std::is_invocable_v<const F&, T&, Args>) {
      using R = std::invoke_result_t<const F&, T&, Args>;
      if constexpr (std::is_void_v<R>) {
        f(Obj(self), args);
        return {};
      } else {
        return Variant(f(Obj(self), args));
      }
    } else {
      static_assert(std::is_invocable_v<const F&, T&>,
                    "a method takes (T&, args), (T&, args, Instance&) or (T&)");
      (void)args;
      if constexpr (std::is_void_v<std::invoke_result_t<const F&, T&>>) {
        f(Obj(self));
        return {};
      } else {
        return Variant(f(Obj(self)));
      }
    }
  }

  // A field of type M, of the automation type `declared` (Array | element type
  // for a SafeArray).
  template <class M>
  class FieldOf final : public detail::FieldAccess {
   public:
    FieldOf(M T::*field, VarType declared) noexcept : field_(field), declared_(declared) {}

    VarType Declared() const noexcept { return declared_; }
    Variant Get(Instance& self) const override { return Variant(Obj(self).*field_); }
    bool AssignValue(Instance& self, const Variant& value) const override {
      if constexpr (std::is_same_v<M, ObjectRef>) {
        (void)self;
        (void)value;
        return false;
      } else if constexpr (std::is_same_v<M, Variant>) {
        // A let of an object assigns the object's value, not the reference.
        if (value.IsObject()) return false;
        Obj(self).*field_ = value;
        return true;
      } else if constexpr (std::is_same_v<M, SafeArray>) {
        if (!value.IsArray() || value.Type() != declared_) return false;
        Obj(self).*field_ = value.Array();
        return true;
      } else {
        const M* held = value.template GetIf<M>();
        if (held == nullptr) return false;
        Obj(self).*field_ = *held;
        return true;
      }
    }
    bool TakeValue(Instance& self, Variant& value) const override {
      if constexpr (std::is_same_v<M, std::string>) {
        std::string* held = value.template GetIf<std::string>();
        if (held == nullptr) return false;
        Obj(self).*field_ = std::move(*held);
        return true;
      } else {
        return AssignValue(self, value);
      }
    }
    bool CopiesByValue() const noexcept override {
      return !std::is_same_v<M, ObjectRef> && !std::is_same_v<M, Variant>;
    }
    bool CopyValue(Instance& source, Instance& target) const override {
      return Owns(source) && Owns(target) && CopyClientValue(source.Self(), target.Self());
    }
    const ObjectRef* ObjectIn(Instance& self) const noexcept override {
      return ObjectFieldIn(self);
    }
    const SafeArray* ArrayIn(Instance& self) const noexcept override {
      if constexpr (std::is_same_v<M, SafeArray>) {
        return Owns(self) ? &(static_cast<T*>(self.Self())->*field_) : nullptr;
      } else {
        (void)self;
        return nullptr;
      }
    }
    const void* PlainIn(Instance& self, VarType& type) const noexcept override {
      return Owns(self) ? PlainFieldOf(self.Self(), type) : nullptr;
    }
    bool SetObject(Instance& self, const ObjectRef& object) const noexcept override {
      ObjectRef* held = ObjectFieldIn(self);
      if (held == nullptr) return false;
      *held = object;
      return true;
    }
    bool TakeObject(Instance& self, ObjectRef& object) const noexcept override {
      ObjectRef* held = ObjectFieldIn(self);
      if (held == nullptr) return false;
      *held = std::move(object);
      return true;
    }

    const std::type_info& OwnerType() const noexcept override { return typeid(T); }
    bool CopyClientValue(const void* source, void* target) const override {
      if constexpr (std::is_same_v<M, ObjectRef> || std::is_same_v<M, Variant>) {
        (void)source;
        (void)target;
        return false;
      } else {
        const M& value = static_cast<const T*>(source)->*field_;
        // The let of an array property takes only an array of its declared type.
        if constexpr (std::is_same_v<M, SafeArray>) {
          if (value.Type() != declared_) return false;
        }
        // Copying a plain value fails only for want of memory, which the
        // caller is told of.
        static_cast<T*>(target)->*field_ = value;
        return true;
      }
    }
    ObjectRef* ObjectFieldOf(void* client) const noexcept override {
      if constexpr (std::is_same_v<M, ObjectRef>) {
        return &(static_cast<T*>(client)->*field_);
      } else {
        (void)client;
        return nullptr;
      }
    }
    SafeArray* ArrayFieldOf(void* client, VarType& type) const noexcept override {
      if constexpr (std::is_same_v<M, SafeArray>) {
        type = declared_;
        return &(static_cast<T*>(client)->*field_);
      } else {
        (void)client;
        (void)type;
        return nullptr;
      }
    }
    void* PlainFieldOf(void* client, VarType& type) const noexcept override {
      if constexpr (std::is_same_v<M, ObjectRef> || std::is_same_v<M, Variant> ||
                    std::is_same_v<M, SafeArray>) {
        (void)client;
        (void)type;
        return nullptr;
      } else {
        type = AutomationType<M>::value;
        return &(static_cast<T*>(client)->*field_);
      }
    }

   private:
    static bool Owns(const Instance& self) noexcept { return self.Class().CppType() == typeid(T); }
    // The object field in the client object of `self`, or nullptr.
    ObjectRef* ObjectFieldIn(Instance& self) const noexcept {
      if constexpr (std::is_same_v<M, ObjectRef>) {
        return Owns(self) ? &(static_cast<T*>(self.Self())->*field_) : nullptr;
      } else {
        (void)self;
        return nullptr;
      }
    }

    M T::*field_;
    VarType declared_;
  };

  template <class M>
  static constexpr void CheckConverted() {
    static_assert(!std::is_enum_v<M> || detail::DeclaredEnum<M>,
                  "declare the enumerators of this enum next to it: constexpr auto "
                  "AutomationEnumerators(E) { return std::array{E::A, E::B}; } (or return "
                  "replikon::kOpenEnum)");
    static_assert(detail::ConvertedMember<M>,
                  "no automation type for this field (use ArrayProperty for a SafeArray)");
  }

  // A field of type M that is no automation type itself, read and assigned
  // through the conversions of detail::Conversion<M>. The engines' direct
  // paths, which take a field to be of the C++ type a Variant holds, do not
  // apply: the field is read and assigned through the get and the let or set.
  template <class M>
  class ConvertedFieldOf final : public detail::FieldAccess {
    using Conv = detail::Conversion<M>;

   public:
    explicit ConvertedFieldOf(M T::*field) noexcept : field_(field) {}

    Variant Get(Instance& self) const override { return Conv::ToVariant(Obj(self).*field_); }
    // The let: the value converted and checked before the field changes.
    void Let(Instance& self, const Variant& value) const {
      if constexpr (Conv::kObject) {
        (void)self;
        (void)value;
        errors::Raise(errors::kNotSupported);
      } else {
        M converted = Conv::FromVariant(value);
        Obj(self).*field_ = std::move(converted);
      }
    }
    // The set of a Ref: Nothing or an object of its class; 13 for any other.
    void Set(Instance& self, const ObjectRef& object) const {
      if constexpr (Conv::kObject) {
        M checked(object);
        Obj(self).*field_ = std::move(checked);
      } else {
        (void)self;
        (void)object;
        errors::Raise(errors::kNotSupported);
      }
    }
    bool AssignValue(Instance& self, const Variant& value) const override {
      // An object is let as its default value, by the general path; an array
      // field takes only arrays, converted here element by element.
      if constexpr (Conv::kObject) {
        (void)self;
        (void)value;
        return false;
      } else {
        if (value.IsObject()) return false;
        if (IsArrayType(Conv::kType) && !value.IsArray()) return false;
        Let(self, value);
        return true;
      }
    }
    bool CopiesByValue() const noexcept override { return false; }
    bool CopyValue(Instance&, Instance&) const override { return false; }
    const ObjectRef* ObjectIn(Instance& self) const noexcept override {
      if constexpr (Conv::kObject) {
        return Owns(self) ? &(static_cast<T*>(self.Self())->*field_).Object() : nullptr;
      } else {
        (void)self;
        return nullptr;
      }
    }
    bool SetObject(Instance& self, const ObjectRef& object) const noexcept override {
      if constexpr (Conv::kObject) {
        if (!Owns(self) || !M::Holds(object)) return false;
        static_cast<T*>(self.Self())->*field_ = M(object);
        return true;
      } else {
        (void)self;
        (void)object;
        return false;
      }
    }
    const std::type_info& OwnerType() const noexcept override { return typeid(T); }

   private:
    static bool Owns(const Instance& self) noexcept { return self.Class().CppType() == typeid(T); }

    M T::*field_;
  };

  template <class M>
  void AddConvertedGet(std::string name, std::shared_ptr<const ConvertedFieldOf<M>> access) {
    AddMember(
        std::move(name), InvokeKind::PropertyGet, detail::Conversion<M>::kType,
        [access](Instance& self, std::span<const Variant>) -> Variant { return access->Get(self); })
        .SetField(access);
  }
  // The let of a value, or the set of a Ref.
  template <class M>
  void AddConvertedAssign(std::string name, std::shared_ptr<const ConvertedFieldOf<M>> access) {
    if constexpr (detail::Conversion<M>::kObject) {
      AddMember(std::move(name), InvokeKind::PropertyPutRef, detail::Conversion<M>::kType,
                [access](Instance& self, std::span<const Variant> args) -> Variant {
                  access->Set(self, args.back().Object());
                  return {};
                })
          .SetField(std::move(access));
    } else {
      AddMember(std::move(name), InvokeKind::PropertyPut, detail::Conversion<M>::kType,
                [access](Instance& self, std::span<const Variant> args) -> Variant {
                  access->Let(self, args.back());
                  return {};
                })
          .SetField(std::move(access));
    }
  }

  template <class M>
  void AddGet(std::string name, std::shared_ptr<const FieldOf<M>> access) {
    const VarType declared = access->Declared();
    AddMember(
        std::move(name), InvokeKind::PropertyGet, declared,
        [access](Instance& self, std::span<const Variant>) -> Variant { return access->Get(self); })
        .SetField(access);
  }
  // The assignments a field of type M takes: let for a value, set for an object
  // reference, both for a Variant. `access` is the field's get, if it has one.
  template <class M>
  void AddAssign(std::string name, M T::*field, std::shared_ptr<const FieldOf<M>> access) {
    if constexpr (std::is_same_v<M, ObjectRef>) {
      AddSetField(std::move(name), field, std::move(access));
    } else if constexpr (std::is_same_v<M, Variant>) {
      AddLetField(name, field, access);
      AddSetField(std::move(name), field, std::move(access));
    } else {
      AddLetField(std::move(name), field, std::move(access));
    }
  }
  template <class M>
  void AddLetField(std::string name, M T::*field, std::shared_ptr<const FieldOf<M>> access) {
    AddMember(std::move(name), InvokeKind::PropertyPut, AutomationType<M>::value,
              [field](Instance& self, std::span<const Variant> args) -> Variant {
                // The value arrives converted to the field's type;
                // ValueAs only converts when called some other way.
                Variant scratch;
                Obj(self).*field = ValueAs<M>(args.back(), scratch);
                return {};
              })
        .SetField(std::move(access));
  }
  template <class M>
  void AddSetField(std::string name, M T::*field, std::shared_ptr<const FieldOf<M>> access) {
    AddMember(std::move(name), InvokeKind::PropertyPutRef, AutomationType<M>::value,
              [field](Instance& self, std::span<const Variant> args) -> Variant {
                Obj(self).*field = args.back().Object();
                return {};
              })
        .SetField(std::move(access));
  }
  void AddArrayLet(std::string name, SafeArray T::*field, VarType element_type,
                   std::shared_ptr<const FieldOf<SafeArray>> access) {
    const VarType vt = VarType::Array | element_type;
    AddMember(std::move(name), InvokeKind::PropertyPut, vt,
              [field, vt](Instance& self, std::span<const Variant> args) -> Variant {
                const Variant& value = args.back();
                if (!value.IsArray() || value.Type() != vt) {
                  errors::Raise(errors::kTypeMismatch);
                }
                Obj(self).*field = value.Array();
                return {};
              })
        .SetField(std::move(access));
  }

  // Every member is added through one function taking its body as a
  // MemberFunction, rather than the vector's emplace_back taking each body's
  // own type.
  MemberDescription& AddMember(std::string name, InvokeKind kind, VarType type,
                               MemberFunction body) {
    return members_.emplace_back(std::move(name), kind, type, std::move(body));
  }

  void BeginGroup() { group_begin_ = members_.size(); }
  void BeginGroupUnlessSameName(const std::string& name) {
    if (group_begin_ >= members_.size() || members_[group_begin_].Name() != name) BeginGroup();
  }
  template <class G>
  ClassBuilder& ForGroup(G g) {
    for (std::size_t i = group_begin_; i < members_.size(); ++i) g(members_[i]);
    return *this;
  }

  std::string prog_class_;
  std::string reported_name_;
  std::vector<MemberDescription> members_;
  std::size_t group_begin_ = 0;
  std::function<void(T&)> on_initialize_;
  std::function<void(T&)> on_terminate_;
};

// An object of class T outside any registry (a class defined only for local
// use, or an object the host makes itself); no initialisation or termination
// code runs. Raises 5 when `info` is not a class of T (BuildInfo of a
// ClassBuilder<T>).
template <class T>
ObjectRef MakeObject(const std::shared_ptr<const ClassInfo>& info) {
  if (info == nullptr || info->CppType() != typeid(T)) {
    errors::Raise(errors::kInvalidProcedureCall);
  }
  return ObjectRef(MakeInstance<InstanceOf<T>>(info));
}

}  // namespace replikon
