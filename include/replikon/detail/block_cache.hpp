// The per-thread cache of small memory blocks that instances and the bodies
// and elements of small arrays are made from.
//
// A program that copies or reads graph after graph makes and drops the same
// small blocks over and over. Released blocks go to a cache of the releasing
// thread, per size, from which the next blocks of that size are taken, so the
// general allocator is rarely reached. The cache is bounded and is given back
// when its thread ends; memory released on another thread than the one that
// made it simply joins that thread's cache.
#pragma once

#include "replikon/export.hpp"

#include <cstddef>
#include <memory>

namespace replikon::detail {

// The largest block, in bytes, that the cache keeps.
inline constexpr std::size_t kCachedBlockBytes = 512;
// A block of `bytes` bytes, at most kCachedBlockBytes and aligned as operator
// new aligns; raises std::bad_alloc. ReleaseCachedBlock takes it back with the
// same size.
REPLIKON_API void* AllocateCachedBlock(std::size_t bytes);
REPLIKON_API void ReleaseCachedBlock(void* block, std::size_t bytes) noexcept;

// An allocator that takes blocks from the cache where they fit and from the
// general allocator otherwise. Stateless.
template <class T>
class CachedBlockAllocator {
 public:
  using value_type = T;

  CachedBlockAllocator() noexcept = default;
  template <class U>
  CachedBlockAllocator(const CachedBlockAllocator<U>&) noexcept {}  // NOLINT: rebinding converts

  T* allocate(std::size_t n) {
    if (Cached(n)) return static_cast<T*>(AllocateCachedBlock(n * sizeof(T)));
    return std::allocator<T>{}.allocate(n);
  }
  void deallocate(T* p, std::size_t n) noexcept {
    if (Cached(n)) {
      ReleaseCachedBlock(p, n * sizeof(T));
    } else {
      std::allocator<T>{}.deallocate(p, n);
    }
  }

  template <class U>
  friend bool operator==(const CachedBlockAllocator&, const CachedBlockAllocator<U>&) noexcept {
    return true;
  }

 private:
  // n is at most the allocator's max_size, so n * sizeof(T) cannot wrap.
  static bool Cached(std::size_t n) noexcept {
    return alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__ && n != 0 &&
           n <= kCachedBlockBytes / sizeof(T);
  }
};

}  // namespace replikon::detail
