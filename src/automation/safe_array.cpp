#include "replikon/automation/safe_array.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <limits>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "replikon/automation/error.hpp"

namespace replikon {

namespace {

// Runs f, turning a failed allocation into 7 "Out of memory".
template <class F>
decltype(auto) GuardAllocation(F&& f) {
  try {
    return f();
  } catch (const std::bad_alloc&) {
    errors::Raise(errors::kOutOfMemory);
  } catch (const std::length_error&) {
    errors::Raise(errors::kOutOfMemory);
  }
}

}  // namespace

SafeArray::Storage SafeArray::MakeStorage(VarType element_type, std::size_t count) {
  return GuardAllocation([&]() -> Storage {
    switch (element_type) {
      case VarType::I2:
        return Cells<std::int16_t>(count);
      case VarType::I4:
        return Cells<std::int32_t>(count);
      case VarType::R4:
        return Cells<float>(count);
      case VarType::R8:
        return Cells<double>(count);
      case VarType::Cy:
        return Cells<Currency>(count);
      case VarType::Date:
        return Cells<Date>(count);
      case VarType::BStr:
        return Cells<std::string>(count);
      case VarType::Dispatch:
        return Cells<ObjectRef>(count);
      case VarType::Error:
        return Cells<ErrorCode>(count);
      case VarType::Bool:
        return Cells<BoolCell>(count, BoolCell::False);
      case VarType::Variant:
        return Cells<Variant>(count);
      case VarType::Decimal:
        return Cells<Decimal>(count);
      case VarType::UI1:
        return std::vector<std::uint8_t>(count);
      default:
        errors::Raise(errors::kInvalidProcedureCall);
    }
  });
}

SafeArray::SafeArray(VarType element_type) : element_type_(element_type) {
  if (!IsArrayElementType(element_type)) errors::Raise(errors::kInvalidProcedureCall);
}

SafeArray::SafeArray(VarType element_type, std::span<const ArrayBound> bounds)
    : element_type_(element_type) {
  // The type and bounds of the last small array made on this thread were
  // checked when it was made.
  if (const LastInitialBody& last = LastBody(); last.body != nullptr && last.type == element_type) {
    const std::span<const ArrayBound> last_bounds = last.body->bounds.View();
    if (std::equal(bounds.begin(), bounds.end(), last_bounds.begin(), last_bounds.end())) {
      body_ = last.body;
      return;
    }
  }
  if (!IsArrayElementType(element_type)) errors::Raise(errors::kInvalidProcedureCall);
  std::uint64_t count = bounds.empty() ? 0 : 1;
  for (const ArrayBound& b : bounds) {
    if (static_cast<std::int64_t>(b.upper) < static_cast<std::int64_t>(b.lower) - 1) {
      errors::Raise(errors::kSubscriptOutOfRange);
    }
    // Each factor is below 2^32 and the running count never passes kMaxElements
    // (2^31), so the product cannot wrap.
    count *= b.Count();
    if (count > kMaxElements) errors::Raise(errors::kOutOfMemory);
  }
  if (bounds.empty()) return;  // unallocated
  body_ = InitialBody(element_type, bounds, static_cast<std::size_t>(count));
}

std::shared_ptr<SafeArray::Body> SafeArray::InitialBody(VarType element_type,
                                                        std::span<const ArrayBound> bounds,
                                                        std::size_t count) {
  std::shared_ptr<Body> body = GuardAllocation([&] {
    return std::allocate_shared<Body>(detail::CachedBlockAllocator<Body>{}, BoundTable(bounds),
                                      MakeStorage(element_type, count));
  });
  if (count <= kSharedUpTo) {
    LastInitialBody& last = LastBody();
    last.body = body;
    last.type = element_type;
  }
  return body;
}

SafeArray::LastInitialBody& SafeArray::LastBody() noexcept {
  thread_local LastInitialBody last;
  return last;
}

// A copy of `from`, or 7 "Out of memory". The elements are copied into a
// vector of their own, which the new body's storage then takes over: when one
// element's copy throws, copying the storage variant itself would destroy an
// alternative it never made (the vectors count as never valueless), where a
// vector cleans up after itself.
std::shared_ptr<SafeArray::Body> SafeArray::CopyOf(const Body& from) {
  return GuardAllocation([&] {
    return std::visit(
        [&](const auto& cells) {
          using Cells = std::decay_t<decltype(cells)>;
          Cells copy(cells);
          return std::allocate_shared<Body>(detail::CachedBlockAllocator<Body>{}, from.bounds,
                                            Storage(std::in_place_type<Cells>, std::move(copy)));
        },
        from.data);
  });
}

SafeArray::Body& SafeArray::Own() {
  if (body_ == nullptr) {
    GuardAllocation(
        [&] { body_ = std::allocate_shared<Body>(detail::CachedBlockAllocator<Body>{}); });
    body_->data = MakeStorage(element_type_, 0);
  } else if (body_.use_count() != 1) {
    body_ = CopyOf(*body_);
  } else {
    // The last other owner may have let go on another thread: its reads of the
    // elements happen before the changes made from here on.
    std::atomic_thread_fence(std::memory_order_acquire);
  }
  return *body_;
}

namespace {

// The one dimension of a byte array of `size` bytes from `lower` on; raises 7
// when it would be too large and 9 when its upper bound leaves the 32-bit range.
ArrayBound ByteArrayBound(std::size_t size, std::int32_t lower) {
  if (size > SafeArray::kMaxElements) errors::Raise(errors::kOutOfMemory);
  const std::int64_t upper = static_cast<std::int64_t>(lower) + static_cast<std::int64_t>(size) - 1;
  if (upper > std::numeric_limits<std::int32_t>::max() ||
      upper < std::numeric_limits<std::int32_t>::min()) {
    errors::Raise(errors::kSubscriptOutOfRange);
  }
  return ArrayBound{lower, static_cast<std::int32_t>(upper)};
}

}  // namespace

SafeArray SafeArray::FromBytes(std::span<const std::uint8_t> bytes, std::int32_t lower) {
  ByteArrayBound(bytes.size(), lower);  // refuses before anything is copied
  return FromOwnedBytes(
      GuardAllocation([&] { return std::vector<std::uint8_t>(bytes.begin(), bytes.end()); }),
      lower);
}

SafeArray SafeArray::FromOwnedBytes(std::vector<std::uint8_t>&& bytes, std::int32_t lower) {
  const ArrayBound bound = ByteArrayBound(bytes.size(), lower);
  SafeArray array(VarType::UI1);
  GuardAllocation([&] {
    array.body_ = std::allocate_shared<Body>(detail::CachedBlockAllocator<Body>{},
                                             BoundTable(std::span<const ArrayBound>(&bound, 1)),
                                             Storage(std::move(bytes)));
  });
  return array;
}

std::size_t SafeArray::Count() const noexcept {
  if (body_ == nullptr) return 0;
  return std::visit([](const auto& cells) { return cells.size(); }, body_->data);
}

std::size_t SafeArray::FlatIndex(std::span<const std::int32_t> index) const {
  const std::span<const ArrayBound> bounds = Bounds();
  if (index.size() != bounds.size() || bounds.empty()) {
    errors::Raise(errors::kSubscriptOutOfRange);
  }
  std::size_t flat = 0;
  for (std::size_t d = 0; d < index.size(); ++d) {
    const ArrayBound& b = bounds[d];
    if (index[d] < b.lower || index[d] > b.upper) errors::Raise(errors::kSubscriptOutOfRange);
    flat = flat * static_cast<std::size_t>(b.Count()) +
           static_cast<std::size_t>(static_cast<std::int64_t>(index[d]) - b.lower);
  }
  return flat;
}

Variant SafeArray::Get(std::span<const std::int32_t> index) const {
  return GetFlat(FlatIndex(index));
}

void SafeArray::Set(std::span<const std::int32_t> index, const Variant& value) {
  SetFlatUnchecked(FlatIndex(index), value);
}

void SafeArray::SetRef(std::span<const std::int32_t> index, const ObjectRef& object) {
  SetRefUnchecked(FlatIndex(index), object);
}

Variant SafeArray::GetFlat(std::size_t i) const {
  if (i >= Count()) errors::Raise(errors::kSubscriptOutOfRange);
  return std::visit(
      [i](const auto& cells) -> Variant {
        using T = typename std::decay_t<decltype(cells)>::value_type;
        if constexpr (std::is_same_v<T, BoolCell>) {
          return Variant(cells[i] != BoolCell::False);
        } else {
          return Variant(cells[i]);
        }
      },
      body_->data);
}

void SafeArray::SetFlat(std::size_t i, const Variant& value) {
  if (i >= Count()) errors::Raise(errors::kSubscriptOutOfRange);
  SetFlatUnchecked(i, value);
}

void SafeArray::SetFlatRef(std::size_t i, const ObjectRef& object) {
  if (i >= Count()) errors::Raise(errors::kSubscriptOutOfRange);
  SetRefUnchecked(i, object);
}

void SafeArray::SetFlatUnchecked(std::size_t i, const Variant& value) {
  Storage& data = Own().data;
  std::visit(
      [this, i, &value](auto& cells) {
        using T = typename std::decay_t<decltype(cells)>::value_type;
        if constexpr (std::is_same_v<T, Variant>) {
          // A Variant element takes the value itself; an object gives its default value.
          cells[i] = ValueOf(value);
        } else if constexpr (std::is_same_v<T, BoolCell>) {
          cells[i] = ToBool(value) ? BoolCell::True : BoolCell::False;
        } else if (const T* same = value.GetIf<T>()) {
          cells[i] = *same;
        } else {
          const Variant converted = ChangeType(value, element_type_);
          cells[i] = *converted.GetIf<T>();
        }
      },
      data);
}

void SafeArray::SetRefUnchecked(std::size_t i, const ObjectRef& object) {
  if (element_type_ != VarType::Dispatch && element_type_ != VarType::Variant) {
    errors::Raise(errors::kTypeMismatch);
  }
  Storage& data = Own().data;
  if (auto* objects = std::get_if<Cells<ObjectRef>>(&data)) {
    (*objects)[i] = object;
  } else if (auto* variants = std::get_if<Cells<Variant>>(&data)) {
    (*variants)[i] = Variant(object);
  } else {
    errors::Raise(errors::kTypeMismatch);
  }
}

std::span<const std::uint8_t> SafeArray::ByteSpan() const {
  if (element_type_ != VarType::UI1) errors::Raise(errors::kTypeMismatch);
  return FlatElements<std::uint8_t>();
}

std::vector<std::uint8_t> SafeArray::ToBytes() const {
  const std::span<const std::uint8_t> bytes = ByteSpan();
  return GuardAllocation([&] { return std::vector<std::uint8_t>(bytes.begin(), bytes.end()); });
}

bool operator==(const SafeArray& a, const SafeArray& b) {
  if (a.element_type_ != b.element_type_) return false;
  const std::span<const ArrayBound> a_bounds = a.Bounds();
  const std::span<const ArrayBound> b_bounds = b.Bounds();
  if (!std::equal(a_bounds.begin(), a_bounds.end(), b_bounds.begin(), b_bounds.end())) {
    return false;
  }
  if (a.body_ == b.body_) return true;
  if (a.body_ == nullptr || b.body_ == nullptr) return a.Count() == 0 && b.Count() == 0;
  if (a.body_->data.index() != b.body_->data.index()) return false;
  return std::visit(
      [&b](const auto& xs) {
        using V = std::decay_t<decltype(xs)>;
        using T = typename V::value_type;
        const V& ys = *std::get_if<V>(&b.body_->data);
        if (xs.size() != ys.size()) return false;
        for (std::size_t i = 0; i < xs.size(); ++i) {
          if constexpr (std::is_same_v<T, float>) {
            if (std::bit_cast<std::uint32_t>(xs[i]) != std::bit_cast<std::uint32_t>(ys[i])) {
              return false;
            }
          } else if constexpr (std::is_same_v<T, double>) {
            if (std::bit_cast<std::uint64_t>(xs[i]) != std::bit_cast<std::uint64_t>(ys[i])) {
              return false;
            }
          } else {
            if (!(xs[i] == ys[i])) return false;
          }
        }
        return true;
      },
      a.body_->data);
}

IndexWalker::IndexWalker(std::span<const ArrayBound> bounds)
    : bounds_(bounds.begin(), bounds.end()), index_(bounds.size()), done_(true) {
  if (bounds_.empty()) return;
  for (std::size_t d = 0; d < bounds_.size(); ++d) {
    if (bounds_[d].Count() == 0) return;
    index_[d] = bounds_[d].lower;
  }
  done_ = false;
}

void IndexWalker::Next() noexcept {
  if (done_) return;
  for (std::size_t d = bounds_.size(); d-- > 0;) {
    if (index_[d] < bounds_[d].upper) {
      ++index_[d];
      return;
    }
    index_[d] = bounds_[d].lower;
  }
  done_ = true;
}

}  // namespace replikon
