// The property bag: string keys mapped to Variant values, and its serialised
// form (`Contents`), which is the byte layout of every Stream.
//
// The layout is described in docs/property-bag-format.md.
#pragma once

#include "replikon/export.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "replikon/automation/safe_array.hpp"
#include "replikon/automation/variant.hpp"

namespace replikon {

// Whether a bag can hold the value: Empty, Null and every scalar type (I2, I4,
// R4, R8, CY, DATE, BSTR, ERROR, BOOL, DECIMAL with a scale of 0..28, UI1), and
// byte arrays (one-dimensional, or unallocated). Objects and other arrays
// cannot be held.
REPLIKON_API bool BagCanHold(const Variant& value) noexcept;

class REPLIKON_API PropertyBag {
 public:
  PropertyBag() = default;

  // Stores `value` under `key` (exact, case-sensitive; written again, the value
  // is replaced in place). When `default_value` is given (not Missing) and the
  // value equals it, the entry is left out (and an earlier one removed).
  // Raises 13 "Type mismatch" for a value the bag cannot hold; the bag is then unchanged.
  void WriteProperty(std::string_view key, const Variant& value,
                     const Variant& default_value = Variant::Missing());

  // The stored value, or `default_value` when the key is absent (Missing when
  // no default is given, which no conversion accepts).
  Variant ReadProperty(std::string_view key,
                       const Variant& default_value = Variant::Missing()) const;

  bool Contains(std::string_view key) const noexcept;
  std::size_t Size() const noexcept { return entries_.size(); }
  // The entries in the order in which they were first written.
  const std::vector<std::pair<std::string, Variant>>& Entries() const noexcept { return entries_; }

  // The serialised bag.
  std::vector<std::uint8_t> Contents() const;
  // The serialised bag as a zero-based byte array.
  SafeArray ContentsArray() const;
  // Replaces the bag's entries with those of a serialisation. Raises 5 with a
  // description naming what is wrong (and the bag keeps its entries) for bytes
  // that are not one: bad signature or version, truncated, a length or count
  // past the end, an unknown type code, a duplicate key, trailing bytes.
  void SetContents(std::span<const std::uint8_t> bytes);
  // Same for a Variant holding a byte array (13 for any other value).
  void SetContents(const Variant& bytes);

 private:
  static constexpr std::size_t kNotFound = static_cast<std::size_t>(-1);
  std::size_t IndexOf(std::string_view key) const noexcept;
  void Append(std::string_view key, const Variant& value);
  void RemoveAt(std::size_t i);

  std::vector<std::pair<std::string, Variant>> entries_;
  // Hash slots over entries_ (see property_bag.cpp); kept only for larger
  // bags, smaller ones are searched in order.
  std::vector<std::uint64_t> index_;
};

}  // namespace replikon
