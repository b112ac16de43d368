// How instances are made and destroyed.
//
// An instance that holds the last reference to another destroys that one from
// inside its own destructor, which would nest one destructor call per link of a
// chain: a long enough chain (a list of a hundred thousand nodes, or the same
// depth of subobjects) would run the thread out of stack when its head is
// released. Instances are therefore destroyed one at a time. When the last
// reference to an instance goes while another instance is being destroyed on
// the same thread, the instance is queued, and the outermost destruction
// destroys the queued ones after its own, one after the other, until none is
// left. Destructors never nest more than one level deep, whatever the shape of
// the graph, and every instance is still destroyed before the release that
// started it returns.
//
// The memory of a released instance goes to the per-thread cache of small
// blocks (block_cache.hpp), from which the next instances of that size are
// made.
#pragma once

#include "replikon/export.hpp"

#include <cstddef>
#include <memory>
#include <type_traits>
#include <utility>

#include "replikon/automation/type_info.hpp"
#include "replikon/detail/block_cache.hpp"

namespace replikon {

namespace detail {
// Ends the life of an instance whose last reference went (its memory stays
// until its last weak reference goes). Never throws.
REPLIKON_API void DestroyInstance(Instance* instance) noexcept;
}  // namespace detail

// The allocator of instances: memory from the per-thread block cache (or an
// ordinary allocation for what the cache does not hold), and a destruction
// that goes through detail::DestroyInstance. Stateless.
template <class T>
class InstanceAllocator : public detail::CachedBlockAllocator<T> {
 public:
  using value_type = T;

  InstanceAllocator() noexcept = default;
  template <class U>
  InstanceAllocator(const InstanceAllocator<U>&) noexcept {}  // NOLINT: rebinding converts

  template <class U>
  void destroy(U* p) noexcept {
    if constexpr (std::is_base_of_v<Instance, U>) {
      detail::DestroyInstance(p);
    } else {
      std::destroy_at(p);
    }
  }

  template <class U>
  friend bool operator==(const InstanceAllocator&, const InstanceAllocator<U>&) noexcept {
    return true;
  }
};

// A new instance of I (a class derived from Instance) in one allocation with
// its reference count, destroyed as described above.
template <class I, class... Args>
std::shared_ptr<I> MakeInstance(Args&&... args) {
  static_assert(std::is_base_of_v<Instance, I>, "MakeInstance makes instances");
  return std::allocate_shared<I>(InstanceAllocator<I>{}, std::forward<Args>(args)...);
}

}  // namespace replikon
