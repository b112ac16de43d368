// Ref<T>: a reference to an object of one class, the one a ClassBuilder<T>
// defines (any class whose client objects are of type T).
#pragma once

#include <cstddef>
#include <utility>

#include "replikon/automation/error.hpp"
#include "replikon/automation/object_ref.hpp"
#include "replikon/automation/type_info.hpp"

namespace replikon {

// An ObjectRef that holds only Nothing or an object of class T, so that the
// object's members are reached as T's without a check at each use:
//
//   struct Line { Ref<Product> product; };
//   line.product->price          // Product* from operator->
//
// Declared by field (ClassBuilder::Property) it is a property of type Object
// (get + set) whose set of an object of another class is refused with 13
// "Type mismatch", the field keeping its value.
template <class T>
class Ref {
 public:
  Ref() noexcept = default;
  Ref(std::nullptr_t) noexcept {}  // NOLINT: implicit, as for ObjectRef
  // The object as a Ref<T>; raises 13 "Type mismatch" when it is of another class.
  explicit Ref(ObjectRef object) : ref_(std::move(object)) {
    if (!Holds(ref_)) errors::Raise(errors::kTypeMismatch);
  }

  // Whether a reference can be held by a Ref<T>: Nothing or an object of class T.
  static bool Holds(const ObjectRef& object) noexcept {
    return object.IsNull() || object->Class().CppType() == typeid(T);
  }

  bool IsNull() const noexcept { return ref_.IsNull(); }
  explicit operator bool() const noexcept { return !ref_.IsNull(); }
  T* get() const noexcept { return ref_.IsNull() ? nullptr : static_cast<T*>(ref_->Self()); }
  T* operator->() const noexcept { return get(); }
  T& operator*() const noexcept { return *get(); }

  // The reference itself, for what takes any object.
  const ObjectRef& Object() const noexcept { return ref_; }
  operator const ObjectRef&() const noexcept { return ref_; }  // NOLINT: implicit
  void Reset() noexcept { ref_.Reset(); }

  friend bool operator==(const Ref& a, const Ref& b) noexcept { return a.ref_ == b.ref_; }

 private:
  ObjectRef ref_;
};

}  // namespace replikon
