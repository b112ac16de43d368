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
//       .Get("Total", VarType::Cy, [](const Line& l) { return Currency{l.qty * 10000}; });
#pragma once

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
#include "replikon/automation/safe_array.hpp"
#include "replikon/automation/type_info.hpp"
#include "replikon/automation/variant.hpp"

namespace replikon {

// The automation type of a C++ field type.
template <class M>
struct AutomationType;
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

// The instance type that holds a client object of type T.
template <class T>
class InstanceOf final : public Instance {
 public:
  InstanceOf(std::shared_ptr<const ClassInfo> cls, std::function<void(T&)> on_terminate)
      : Instance(std::move(cls)), on_terminate_(std::move(on_terminate)) {}
  ~InstanceOf() override {
    if (on_terminate_) {
      try {
        on_terminate_(value_);
      } catch (...) {
        // An error in a class's termination code has nowhere to go: the last
        // reference is being released.
      }
    }
  }
  void* Self() noexcept override { return &value_; }
  T& Value() noexcept { return value_; }
  void ArmTerminate(std::function<void(T&)> on_terminate) { on_terminate_ = std::move(on_terminate); }

 private:
  T value_{};
  std::function<void(T&)> on_terminate_;
};

// What a finished class definition gives the registry.
struct ClassDefinition {
  std::string prog_class;  // the class part of the programmatic identifier
  std::shared_ptr<const ClassInfo> info;
  std::function<ObjectRef()> create;  // may raise (a class's initialisation)
};

class ClassBuilderBase {
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
  // A scalar field gives get + let; an ObjectRef field get + set; a Variant field
  // get + let + set.
  template <class M>
  ClassBuilder& Property(std::string name, M T::*field) {
    BeginGroup();
    constexpr VarType vt = AutomationType<M>::value;
    AddGet(name, vt, field);
    if constexpr (std::is_same_v<M, ObjectRef>) {
      AddSetField(std::move(name), field);
    } else if constexpr (std::is_same_v<M, Variant>) {
      AddLetField(name, vt, field);
      AddSetField(std::move(name), field);
    } else {
      AddLetField(std::move(name), vt, field);
    }
    return *this;
  }

  // A field holding an array, declared as `Array | element_type` (get + let).
  ClassBuilder& ArrayProperty(std::string name, SafeArray T::*field, VarType element_type) {
    BeginGroup();
    const VarType vt = VarType::Array | element_type;
    members_.emplace_back(name, InvokeKind::PropertyGet, vt,
                          [field](Instance& self, std::span<const Variant>) -> Variant {
                            return Variant(Obj(self).*field);
                          });
    members_.emplace_back(std::move(name), InvokeKind::PropertyPut, vt,
                          [field](Instance& self, std::span<const Variant> args) -> Variant {
                            Obj(self).*field = args[0].Array();
                            return {};
                          });
    return *this;
  }

  // A field that can only be read (get).
  template <class M>
  ClassBuilder& ReadOnly(std::string name, M T::*field) {
    BeginGroup();
    AddGet(std::move(name), AutomationType<M>::value, field);
    return *this;
  }

  // ---- Function-backed accessors -------------------------------------------
  // A get. `f` is called as f(T&) or f(const T&) and returns anything a Variant
  // can be made from; or, for a parameterised property, as
  // f(T&, std::span<const Variant> args) with `params` describing the arguments.
  template <class F>
  ClassBuilder& Get(std::string name, VarType type, F f, std::vector<ParamDescription> params = {}) {
    BeginGroupUnlessSameName(name);
    auto& m = members_.emplace_back(std::move(name), InvokeKind::PropertyGet, type,
                                    [f = std::move(f)](Instance& self,
                                                       std::span<const Variant> args) -> Variant {
                                      if constexpr (std::is_invocable_v<F&, T&, std::span<const Variant>>) {
                                        return Variant(f(Obj(self), args));
                                      } else {
                                        (void)args;
                                        return Variant(f(Obj(self)));
                                      }
                                    });
    m.SetParams(std::move(params));
    return *this;
  }

  // A let. `f` is called as f(T&, const Variant& value), the value already
  // converted to `type` (for a Variant property: the value as given, an object
  // replaced by its default value); or, for a parameterised property, as
  // f(T&, std::span<const Variant> args) with the new value last.
  template <class F>
  ClassBuilder& Let(std::string name, VarType type, F f, std::vector<ParamDescription> params = {}) {
    BeginGroupUnlessSameName(name);
    auto& m = members_.emplace_back(std::move(name), InvokeKind::PropertyPut, type,
                                    [f = std::move(f)](Instance& self,
                                                       std::span<const Variant> args) -> Variant {
                                      if constexpr (std::is_invocable_v<F&, T&, std::span<const Variant>>) {
                                        f(Obj(self), args);
                                      } else {
                                        f(Obj(self), args[0]);
                                      }
                                      return {};
                                    });
    m.SetParams(std::move(params));
    return *this;
  }

  // A set (object reference). `f` is called as f(T&, const ObjectRef&).
  template <class F>
  ClassBuilder& Set(std::string name, F f, VarType type = VarType::Dispatch) {
    BeginGroupUnlessSameName(name);
    members_.emplace_back(std::move(name), InvokeKind::PropertyPutRef, type,
                          [f = std::move(f)](Instance& self,
                                             std::span<const Variant> args) -> Variant {
                            f(Obj(self), args[0].Object());
                            return {};
                          });
    return *this;
  }

  // A method. `f` is called as f(T&, std::span<const Variant> args) and returns a
  // value (anything a Variant can be made from) or nothing.
  template <class F>
  ClassBuilder& Method(std::string name, F f, std::vector<ParamDescription> params = {},
                       VarType return_type = VarType::Empty) {
    BeginGroup();
    auto& m = members_.emplace_back(
        std::move(name), InvokeKind::Function, return_type,
        [f = std::move(f)](Instance& self, std::span<const Variant> args) -> Variant {
          if constexpr (std::is_void_v<std::invoke_result_t<F&, T&, std::span<const Variant>>>) {
            f(Obj(self), args);
            return {};
          } else {
            return Variant(f(Obj(self), args));
          }
        });
    m.SetParams(std::move(params));
    return *this;
  }

  // ---- Attributes of the members added by the last call ---------------------
  ClassBuilder& Hidden() { return ForGroup([](MemberDescription& m) { m.SetHidden(true); }); }
  ClassBuilder& Id(DispId id) { return ForGroup([id](MemberDescription& m) { m.SetMemberId(id); }); }
  // Marks the last property or method as the default member (DISPID_VALUE).
  ClassBuilder& Default() { return Id(kDispIdValue); }
  ClassBuilder& Help(std::string help_string, std::int32_t help_context = 0) {
    return ForGroup([&](MemberDescription& m) { m.SetHelp(help_string, help_context); });
  }

  // ---- Class attributes ------------------------------------------------------
  // The class name that instances report (ClassNameOf), when it is not the name
  // the class is registered under.
  ClassBuilder& ReportsClassName(std::string name) {
    reported_name_ = std::move(name);
    return *this;
  }
  // Code run on a new instance after construction; may raise, and then the
  // creation fails with that error.
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
    def.create = [info = def.info, init = on_initialize_, term = on_terminate_]() -> ObjectRef {
      auto instance = std::make_shared<InstanceOf<T>>(info, nullptr);
      if (init) init(instance->Value());
      // Termination code runs only for an instance whose initialisation succeeded.
      if (term) instance->ArmTerminate(term);
      return ObjectRef(std::move(instance));
    };
    return def;
  }

 private:
  static T& Obj(Instance& self) noexcept { return *static_cast<T*>(self.Self()); }

  template <class M>
  void AddGet(std::string name, VarType vt, M T::*field) {
    members_.emplace_back(std::move(name), InvokeKind::PropertyGet, vt,
                          [field](Instance& self, std::span<const Variant>) -> Variant {
                            return Variant(Obj(self).*field);
                          });
  }
  template <class M>
  void AddLetField(std::string name, VarType vt, M T::*field) {
    members_.emplace_back(std::move(name), InvokeKind::PropertyPut, vt,
                          [field](Instance& self, std::span<const Variant> args) -> Variant {
                            if constexpr (std::is_same_v<M, Variant>) {
                              Obj(self).*field = args[0];
                            } else {
                              Obj(self).*field = *args[0].template GetIf<M>();
                            }
                            return {};
                          });
  }
  template <class M>
  void AddSetField(std::string name, M T::*field) {
    members_.emplace_back(std::move(name), InvokeKind::PropertyPutRef,
                          AutomationType<M>::value,
                          [field](Instance& self, std::span<const Variant> args) -> Variant {
                            Obj(self).*field = args[0].Object();
                            return {};
                          });
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
// use, or an object the host makes itself).
template <class T>
ObjectRef MakeObject(const std::shared_ptr<const ClassInfo>& info) {
  return ObjectRef(std::make_shared<InstanceOf<T>>(info, nullptr));
}

}  // namespace replikon
