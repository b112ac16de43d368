// ObjectRef: a counted reference to an automation object, possibly null.
#pragma once

#include "replikon/export.hpp"

#include <cstddef>
#include <memory>
#include <utility>

namespace replikon {

class Instance;

// A reference-counted handle to an automation object. Copying adds a reference;
// when the last reference goes the object is destroyed before the release
// returns, so a class's termination code runs then. Objects released by that
// destruction are destroyed right after it, one at a time, so that releasing a
// chain of any length takes no deeper stack than releasing one object
// (instance_lifetime.hpp). Equality is identity.
class REPLIKON_API ObjectRef {
 public:
  ObjectRef() noexcept = default;
  ObjectRef(std::nullptr_t) noexcept {}
  explicit ObjectRef(std::shared_ptr<Instance> p) noexcept : p_(std::move(p)) {}

  bool IsNull() const noexcept { return p_ == nullptr; }
  explicit operator bool() const noexcept { return p_ != nullptr; }

  Instance* get() const noexcept { return p_.get(); }
  Instance* operator->() const noexcept { return p_.get(); }
  Instance& operator*() const noexcept { return *p_; }
  const std::shared_ptr<Instance>& Shared() const noexcept { return p_; }
  void Reset() noexcept { p_.reset(); }
  long UseCount() const noexcept { return p_.use_count(); }

  // The client's C++ object behind the reference when it is of class T, else nullptr.
  template <class T>
  T* As() const noexcept;

  friend bool operator==(const ObjectRef& a, const ObjectRef& b) noexcept { return a.p_ == b.p_; }

 private:
  std::shared_ptr<Instance> p_;
};

}  // namespace replikon
