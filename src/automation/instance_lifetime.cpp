// Destruction of instances one at a time (see instance_lifetime.hpp).
#include "replikon/automation/instance_lifetime.hpp"

#include <sanitizer/asan_interface.h>

#include <array>
#include <cstddef>
#include <memory>
#include <new>
#include <vector>

namespace replikon::detail {

namespace {

// An instance whose destruction waits, with a weak reference that keeps its
// memory (the reference count's block) until it is destroyed.
struct Deferred {
  Instance* instance;
  std::weak_ptr<Instance> storage;
};

// The queue of the destruction under way on this thread; null when none is.
thread_local std::vector<Deferred>* t_deferred = nullptr;

// Whether `w` refers to a block at all (an empty weak reference keeps nothing).
bool RefersToBlock(const std::weak_ptr<Instance>& w) noexcept {
  const std::weak_ptr<Instance> none;
  return w.owner_before(none) || none.owner_before(w);
}

// ---- The per-thread cache of instance memory --------------------------------

// Blocks are kept by size in steps of the allocation alignment.
constexpr std::size_t kStep = __STDCPP_DEFAULT_NEW_ALIGNMENT__;
constexpr std::size_t kSizes = kCachedBlockBytes / kStep;
// What one thread keeps at most: enough for the instances of a sizeable graph
// released together (a copied or read tree of some thousands of objects) to
// serve the next one, and little next to what the general allocator itself
// keeps of a released graph.
constexpr std::size_t kMaxCachedBytes = std::size_t{4} << 20;

struct FreeBlock {
  FreeBlock* next;
};

// Trivially destructible, so that a release from another thread-local
// object's destructor, after the drain below has run, still finds it (closed).
struct BlockCache {
  std::array<FreeBlock*, kSizes> free{};
  std::size_t bytes = 0;
  bool armed = false;   // the drain is registered for this thread
  bool closed = false;  // the thread is ending: nothing more is kept
};
constinit thread_local BlockCache t_cache;

// Gives the cached blocks back when the thread ends.
struct CacheDrain {
  CacheDrain() noexcept = default;
  CacheDrain(const CacheDrain&) = delete;
  CacheDrain& operator=(const CacheDrain&) = delete;
  ~CacheDrain() {
    t_cache.closed = true;
    for (std::size_t i = 0; i < kSizes; ++i) {
      while (FreeBlock* block = t_cache.free[i]) {
        ASAN_UNPOISON_MEMORY_REGION(block, (i + 1) * kStep);
        t_cache.free[i] = block->next;
        ::operator delete(block);
      }
    }
    t_cache.bytes = 0;
  }
};
thread_local CacheDrain t_drain;

// The cache slot and the block size for `bytes`.
constexpr std::size_t SlotOf(std::size_t bytes) noexcept {
  return (bytes + kStep - 1) / kStep - 1;
}

}  // namespace

void* AllocateCachedBlock(std::size_t bytes) {
  const std::size_t slot = SlotOf(bytes);
  const std::size_t size = (slot + 1) * kStep;
  if (FreeBlock* block = t_cache.free[slot]) {
    ASAN_UNPOISON_MEMORY_REGION(block, size);
    t_cache.free[slot] = block->next;
    t_cache.bytes -= size;
    return block;
  }
  return ::operator new(size);
}

void ReleaseCachedBlock(void* memory, std::size_t bytes) noexcept {
  const std::size_t slot = SlotOf(bytes);
  const std::size_t size = (slot + 1) * kStep;
  if (t_cache.closed || t_cache.bytes + size > kMaxCachedBytes) {
    ::operator delete(memory);
    return;
  }
  if (!t_cache.armed) {
    // First use on this thread: from now on the thread's end drains the cache.
    static_cast<void>(&t_drain);
    t_cache.armed = true;
  }
  FreeBlock* block = ::new (memory) FreeBlock{t_cache.free[slot]};
  t_cache.free[slot] = block;
  t_cache.bytes += size;
  // A cached block is freed memory as far as the program is concerned.
  ASAN_POISON_MEMORY_REGION(block, size);
}

void DestroyInstance(Instance* instance) noexcept {
  if (std::vector<Deferred>* queue = t_deferred) {
    // Inside another instance's destruction: later, from the outermost one.
    std::weak_ptr<Instance> storage = instance->weak_from_this();
    if (RefersToBlock(storage)) {
      try {
        queue->push_back(Deferred{instance, std::move(storage)});
        return;
      } catch (...) {
        // No memory to queue it: destroyed here, nested.
      }
    }
    std::destroy_at(instance);
    return;
  }

  std::vector<Deferred> queue;
  t_deferred = &queue;
  std::destroy_at(instance);
  while (!queue.empty()) {
    const Deferred next = std::move(queue.back());
    queue.pop_back();
    std::destroy_at(next.instance);
    // `next.storage` goes here: the last weak reference frees the memory.
  }
  t_deferred = nullptr;
}

}  // namespace replikon::detail
