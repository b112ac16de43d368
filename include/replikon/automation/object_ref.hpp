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

// A reference to an automation object that does not keep it alive: the link
// from an object back to the one that owns it (a section to its document), so
// that a graph with such links goes when its last outside reference goes.
// Lock() gives the object while it lives and a null reference once its last
// counted reference has gone. Safe to use from several threads as ObjectRef is.
class WeakObjectRef {
 public:
  WeakObjectRef() noexcept = default;
  WeakObjectRef(const ObjectRef& object) noexcept : p_(object.Shared()) {}  // NOLINT: implicit
  WeakObjectRef& operator=(const ObjectRef& object) noexcept {
    p_ = object.Shared();
    return *this;
  }

  ObjectRef Lock() const noexcept { return ObjectRef(p_.lock()); }
  // Whether the object has gone (or none was ever held).
  bool Expired() const noexcept { return p_.expired(); }
  void Reset() noexcept { p_.reset(); }

 private:
  std::weak_ptr<Instance> p_;
};

}  // namespace replikon
