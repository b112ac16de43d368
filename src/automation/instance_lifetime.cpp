// Destruction of instances one at a time (see instance_lifetime.hpp).
#include "replikon/automation/instance_lifetime.hpp"

#include <memory>
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

}  // namespace

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
