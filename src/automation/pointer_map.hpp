// A map keyed by address, for the engines' tables of objects met in one call
// (the objects on the path being walked, the objects copied or written so
// far): one flat table of slots, open addressing with linear probing, at most
// half full. Erasing moves the later entries of a probe run back into the
// hole, so no slot is ever marked deleted and a long walk that enters and
// leaves objects keeps short runs. PointerMap<void> is a set.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

namespace replikon::detail {

template <class Value>
class PointerMap {
  struct NoValue {};
  using Stored = std::conditional_t<std::is_void_v<Value>, NoValue, Value>;

 public:
  std::size_t Size() const noexcept { return size_; }
  bool Empty() const noexcept { return size_ == 0; }

  // Adds `key` (not null, not in the map yet) with its value. Raises
  // std::bad_alloc, with the map unchanged, when the table cannot grow.
  template <class... V>
  void Insert(const void* key, V&&... value) {
    if (2 * (size_ + 1) > slots_.size()) Rehash(slots_.empty() ? kFirstSlots : 2 * slots_.size());
    Place(Slot{key, Stored{static_cast<V&&>(value)...}});
    ++size_;
  }

  // The value of `key`, or nullptr when it is not in the map. For a set, any
  // non-null pointer tells that it is.
  const Stored* Find(const void* key) const noexcept {
    if (size_ == 0) return nullptr;
    for (std::size_t s = Home(key);; s = Next(s)) {
      if (slots_[s].key == key) return &slots_[s].value;
      if (slots_[s].key == nullptr) return nullptr;
    }
  }
  bool Contains(const void* key) const noexcept { return Find(key) != nullptr; }

  // Removes `key`; nothing when it is not in the map.
  void Erase(const void* key) noexcept {
    if (size_ == 0) return;
    std::size_t hole = Home(key);
    while (slots_[hole].key != key) {
      if (slots_[hole].key == nullptr) return;
      hole = Next(hole);
    }
    // Each later entry of the run moves into the hole unless its home lies
    // cyclically in (hole, s], where a search for it would stop at the hole.
    for (std::size_t s = Next(hole); slots_[s].key != nullptr; s = Next(s)) {
      const std::size_t home = Home(slots_[s].key);
      const bool reachable = hole < s ? (hole < home && home <= s) : (hole < home || home <= s);
      if (reachable) continue;
      slots_[hole] = slots_[s];
      hole = s;
    }
    slots_[hole] = Slot{};
    --size_;
  }

  // Empties the map and keeps its table.
  void Clear() noexcept {
    if (size_ == 0) return;
    for (Slot& slot : slots_) slot = Slot{};
    size_ = 0;
  }

 private:
  static constexpr std::size_t kFirstSlots = 16;

  struct Slot {
    const void* key = nullptr;
    [[no_unique_address]] Stored value{};
  };

  std::size_t Mask() const noexcept { return slots_.size() - 1; }
  std::size_t Next(std::size_t s) const noexcept { return (s + 1) & Mask(); }
  // Fibonacci hashing of the address: the low bits of an address carry little.
  std::size_t Home(const void* key) const noexcept {
    const auto bits = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(key));
    return static_cast<std::size_t>((bits * 0x9E3779B97F4A7C15ULL) >> shift_);
  }

  void Place(const Slot& slot) noexcept {
    std::size_t s = Home(slot.key);
    while (slots_[s].key != nullptr) s = Next(s);
    slots_[s] = slot;
  }

  void Rehash(std::size_t count) {
    std::vector<Slot> old(count);
    old.swap(slots_);
    shift_ = 64;
    for (std::size_t c = count; c > 1; c >>= 1) --shift_;
    for (const Slot& slot : old) {
      if (slot.key != nullptr) Place(slot);
    }
  }

  std::vector<Slot> slots_;  // a power of two of them, or none
  std::size_t size_ = 0;
  int shift_ = 64;
};

}  // namespace replikon::detail
