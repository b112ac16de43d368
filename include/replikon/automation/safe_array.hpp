// SafeArray: an automation array with per-dimension bounds.
#pragma once

#include "replikon/export.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "replikon/automation/variant.hpp"
#include "replikon/detail/block_cache.hpp"

namespace replikon {

// One dimension: indices lower..upper inclusive. upper == lower - 1 is a valid
// dimension with no elements; negative bounds are allowed.
struct REPLIKON_API ArrayBound {
  std::int32_t lower = 0;
  std::int32_t upper = -1;
  // Number of elements (0 for upper < lower).
  std::uint64_t Count() const noexcept {
    return upper < lower ? 0
                         : static_cast<std::uint64_t>(static_cast<std::int64_t>(upper) - lower) + 1;
  }
  friend constexpr bool operator==(const ArrayBound&, const ArrayBound&) = default;
};

// An array of one element type with 0..n dimensions. An array with no
// dimensions is *unallocated* (an array variable not yet given bounds); one
// with dimensions but no elements is allocated and empty.
//
// Elements are stored in row-major order: dimension 1 varies slowest, the last
// dimension fastest. `GetFlat(i)`/`SetFlat(i)` address that order directly, and
// `IndexWalker` yields the index tuples in the same order.
//
// A SafeArray is a value: copies are independent. They share their elements
// until one of them is changed (copy on write), so copying an array, as every
// read of an array property does, costs no more than a reference count.
// Spans taken from an array view the elements it holds at that moment.
class REPLIKON_API SafeArray {
 public:
  // The most elements one array may hold; larger requests raise 7 "Out of memory".
  static constexpr std::uint64_t kMaxElements = std::uint64_t{1} << 31;

  // An unallocated array of the element type.
  explicit SafeArray(VarType element_type = VarType::Variant);
  // An allocated array; elements start as the type's initial value (0, "", False,
  // Empty, a null reference). Raises 5 for an element type that cannot form an
  // array, 9 when a dimension has upper < lower - 1, 7 when it would be too large.
  SafeArray(VarType element_type, std::span<const ArrayBound> bounds);
  SafeArray(VarType element_type, std::initializer_list<ArrayBound> bounds)
      : SafeArray(element_type, std::span<const ArrayBound>(bounds.begin(), bounds.size())) {}

  // A one-dimensional byte array lower..lower+size-1 holding the bytes.
  static SafeArray FromBytes(std::span<const std::uint8_t> bytes, std::int32_t lower = 0);
  // The same, taking over the bytes without copying them.
  static SafeArray FromOwnedBytes(std::vector<std::uint8_t>&& bytes, std::int32_t lower = 0);
  // An unallocated byte array.
  static SafeArray UnallocatedBytes() { return SafeArray(VarType::UI1); }

  VarType ElementType() const noexcept { return element_type_; }
  // The array's own type code: Array | element type.
  VarType Type() const noexcept { return VarType::Array | element_type_; }
  bool IsAllocated() const noexcept { return Dims() != 0; }
  std::size_t Dims() const noexcept { return Bounds().size(); }
  std::span<const ArrayBound> Bounds() const noexcept {
    if (body_ == nullptr) return {};
    return body_->bounds.View();
  }
  // Total number of elements (0 when unallocated).
  std::size_t Count() const noexcept;

  // Element access by index tuple (one index per dimension, in dimension order).
  // Wrong index count or an index out of bounds raises 9 "Subscript out of range".
  Variant Get(std::span<const std::int32_t> index) const;
  Variant Get(std::initializer_list<std::int32_t> index) const {
    return Get(std::span<const std::int32_t>(index.begin(), index.size()));
  }
  // Value assignment (let): the value is converted to the element type with
  // ChangeType; an object gives its default value (also in a Variant array).
  void Set(std::span<const std::int32_t> index, const Variant& value);
  void Set(std::initializer_list<std::int32_t> index, const Variant& value) {
    Set(std::span<const std::int32_t>(index.begin(), index.size()), value);
  }
  // Reference assignment (set) into an array of objects or Variants.
  void SetRef(std::span<const std::int32_t> index, const ObjectRef& object);
  void SetRef(std::initializer_list<std::int32_t> index, const ObjectRef& object) {
    SetRef(std::span<const std::int32_t>(index.begin(), index.size()), object);
  }

  // Access by position in row-major order, 0 <= i < Count().
  Variant GetFlat(std::size_t i) const;
  void SetFlat(std::size_t i, const Variant& value);
  void SetFlatRef(std::size_t i, const ObjectRef& object);

  // The elements of an array of fixed-size scalars held as T (std::int16_t,
  // std::int32_t, float, double, Currency, Date, ErrorCode, std::uint8_t), in
  // row-major order and without copying; an empty span when the array holds
  // another element type. For code that walks a whole array without a Variant
  // per element.
  template <class T>
  std::span<const T> FlatElements() const noexcept {
    if (body_ == nullptr) return {};
    if (const auto* cells = std::get_if<Cells<T>>(&body_->data)) return *cells;
    return {};
  }
  // The same, for change (the elements are made the array's own first).
  template <class T>
  std::span<T> MutableFlatElements() {
    if (FlatElements<T>().empty()) return {};
    if (auto* cells = std::get_if<Cells<T>>(&Own().data)) return *cells;
    return {};
  }

  // The bytes of a byte array (UI1) without copying; 13 "Type mismatch" for another type.
  std::span<const std::uint8_t> ByteSpan() const;
  std::vector<std::uint8_t> ToBytes() const;

  // Same element type, same bounds, equal elements (compared as Variant ==).
  friend bool operator==(const SafeArray& a, const SafeArray& b);

 private:
  // A Boolean element as the platform stores it (VARIANT_BOOL): -1 true, 0 false.
  enum class BoolCell : std::int16_t { False = 0, True = -1 };
  // The elements of an array of T. Those of small arrays come from the
  // per-thread block cache, as instances do; bytes are an ordinary vector,
  // which a byte array takes over (FromOwnedBytes) and hands out.
  template <class T>
  using Cells = std::conditional_t<std::is_same_v<T, std::uint8_t>, std::vector<std::uint8_t>,
                                   std::vector<T, detail::CachedBlockAllocator<T>>>;
  using Storage = std::variant<Cells<std::int16_t>, Cells<std::int32_t>, Cells<float>,
                               Cells<double>, Cells<Currency>, Cells<Date>, Cells<std::string>,
                               Cells<ObjectRef>, Cells<ErrorCode>, Cells<BoolCell>, Cells<Variant>,
                               Cells<Decimal>, Cells<std::uint8_t>>;
  // The bounds of an array. Arrays of one or two dimensions, nearly all of
  // them, hold theirs in place rather than in an allocation of their own.
  class BoundTable {
   public:
    BoundTable() noexcept = default;
    explicit BoundTable(std::span<const ArrayBound> bounds) : dims_(bounds.size()) {
      if (dims_ <= kInPlace) {
        for (std::size_t d = 0; d < dims_; ++d) in_place_[d] = bounds[d];
      } else {
        heap_.assign(bounds.begin(), bounds.end());
      }
    }
    std::span<const ArrayBound> View() const noexcept {
      if (dims_ <= kInPlace) return {in_place_.data(), dims_};
      return heap_;
    }

   private:
    static constexpr std::size_t kInPlace = 2;
    std::size_t dims_ = 0;
    std::array<ArrayBound, kInPlace> in_place_{};
    std::vector<ArrayBound> heap_;
  };
  // The bounds and the elements, shared by copies until one changes them.
  struct Body {
    Body() noexcept = default;
    Body(BoundTable b, Storage d) noexcept : bounds(std::move(b)), data(std::move(d)) {}
    // Copied only through CopyOf: copying the storage itself is not safe
    // when an element's copy throws.
    Body(const Body&) = delete;
    Body& operator=(const Body&) = delete;
    BoundTable bounds;
    Storage data;
  };
  // A new array holds only initial values until it is changed, and a change
  // copies a shared body first. So the small arrays made one after another
  // with the same type and bounds (the array field of every new instance of a
  // class) share one body, kept per thread, instead of each allocating and
  // filling its own.
  static constexpr std::size_t kSharedUpTo = 64;  // elements
  struct LastInitialBody {
    std::shared_ptr<Body> body;  // of at most kSharedUpTo elements
    VarType type = VarType::Empty;
  };
  static LastInitialBody& LastBody() noexcept;
  // The body of a new array of `count` elements holding the initial values.
  static std::shared_ptr<Body> InitialBody(VarType element_type, std::span<const ArrayBound> bounds,
                                           std::size_t count);
  static Storage MakeStorage(VarType element_type, std::size_t count);
  std::size_t FlatIndex(std::span<const std::int32_t> index) const;
  void SetFlatUnchecked(std::size_t i, const Variant& value);
  void SetRefUnchecked(std::size_t i, const ObjectRef& object);
  // The body, made this array's own (copied when it is shared) for a change.
  Body& Own();
  static std::shared_ptr<Body> CopyOf(const Body& from);

  VarType element_type_;
  // Null for an array without dimensions or elements (unallocated, or moved from).
  std::shared_ptr<Body> body_;
};

REPLIKON_API bool operator==(const SafeArray& a, const SafeArray& b);

// Walks all index tuples of a bounds table in row-major order (dimension 1
// slowest). A table with a dimension of no elements, or no dimensions, yields
// nothing.
//
//   for (IndexWalker w(bounds); !w.Done(); w.Next()) use(w.Index());
class REPLIKON_API IndexWalker {
 public:
  explicit IndexWalker(std::span<const ArrayBound> bounds);
  bool Done() const noexcept { return done_; }
  void Next() noexcept;
  std::span<const std::int32_t> Index() const noexcept { return index_; }

 private:
  std::vector<ArrayBound> bounds_;
  std::vector<std::int32_t> index_;
  bool done_;
};

}  // namespace replikon
