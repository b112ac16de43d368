// How ClassBuilder declares fields of C++ types that are no automation type of
// their own (enums, wider integers, <chrono> time points, std::optional,
// std::vector, Ref<T>) as the automation type each one is. Not API: used by
// class_builder.hpp; it may change in any release.
#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "replikon/automation/error.hpp"
#include "replikon/automation/object_ref.hpp"
#include "replikon/automation/safe_array.hpp"
#include "replikon/automation/typed_ref.hpp"
#include "replikon/automation/variant.hpp"

namespace replikon {

template <class M>
struct AutomationType;

// What AutomationEnumerators returns for an enum whose fields take any value
// of its underlying type, enumerator or not (a set of flags, say).
struct OpenEnum {};
inline constexpr OpenEnum kOpenEnum{};

}  // namespace replikon

namespace replikon::detail {

// A type of which a Variant holds values as they are (a number, Currency, Date,
// std::string, ErrorCode, bool, Decimal), and so does an array.
template <class X>
concept NativeScalar = requires {
  AutomationType<X>::value;
}
&&!std::is_same_v<X, ObjectRef> && !std::is_same_v<X, Variant>;

template <class X>
concept CharacterType = std::is_same_v<X, char> || std::is_same_v<X, wchar_t> ||
    std::is_same_v<X, char8_t> || std::is_same_v<X, char16_t> || std::is_same_v<X, char32_t>;

// An integer type that is no automation type itself: it becomes the narrowest
// automation type that holds all its values, Decimal for the 64-bit ones and
// std::uint32_t (a Decimal holds every 64-bit integer exactly; no floating
// type does).
template <class X>
concept OtherInteger =
    std::is_integral_v<X> && !std::is_same_v<X, bool> && !CharacterType<X> && !NativeScalar<X>;

template <class I>
constexpr bool FitsIn(std::intmax_t low, std::intmax_t high) noexcept {
  if constexpr (std::is_signed_v<I>) {
    return std::numeric_limits<I>::min() >= low && std::numeric_limits<I>::max() <= high;
  } else {
    return std::numeric_limits<I>::max() <= static_cast<std::uintmax_t>(high);
  }
}

// An enum with its enumerators declared next to it, found by argument-dependent
// lookup:
//
//   enum class Color { Red, Green, Blue };
//   constexpr auto AutomationEnumerators(Color) {
//     return std::array{Color::Red, Color::Green, Color::Blue};
//   }
//
// or `return replikon::kOpenEnum;` for an enum that takes any value.
template <class E>
concept DeclaredEnum = std::is_enum_v<E> && requires {
  AutomationEnumerators(E{});
};

// The conversions of a field value that is one scalar: kType, ToVariant and
// FromVariant (a value of any type, converted as a let converts it; raises
// what a refused let raises).
template <class X>
struct Scalar {};

template <NativeScalar X>
struct Scalar<X> {
  static constexpr VarType kType = AutomationType<X>::value;
  static Variant ToVariant(const X& x) { return Variant(x); }
  static X FromVariant(const Variant& v) {
    if (const X* held = v.template GetIf<X>()) return *held;
    const Variant converted = ChangeType(v, kType);
    const X* held = converted.template GetIf<X>();
    if (held == nullptr) errors::Raise(errors::kTypeMismatch);
    return *held;
  }
};

template <OtherInteger X>
struct Scalar<X> {
  static constexpr VarType kType = FitsIn<X>(INT16_MIN, INT16_MAX)   ? VarType::I2
                                   : FitsIn<X>(INT32_MIN, INT32_MAX) ? VarType::I4
                                                                     : VarType::Decimal;
  static Variant ToVariant(const X& x) {
    if constexpr (kType == VarType::I2) {
      return Variant(static_cast<std::int16_t>(x));
    } else if constexpr (kType == VarType::I4) {
      return Variant(static_cast<std::int32_t>(x));
    } else if constexpr (std::is_signed_v<X>) {
      return Variant(DecimalFromInt64(static_cast<std::int64_t>(x)));
    } else {
      return Variant(DecimalFromUInt64(static_cast<std::uint64_t>(x)));
    }
  }
  // A value outside X's range raises 6 "Overflow"; a fraction is rounded half
  // to even, as for every integer property.
  static X FromVariant(const Variant& v) {
    if constexpr (kType == VarType::I2) {
      return Narrow(ToI2(v));
    } else if constexpr (kType == VarType::I4) {
      return Narrow(ToI4(v));
    } else if constexpr (std::is_signed_v<X>) {
      return Narrow(Int64FromDecimal(ToDecimal(v)));
    } else {
      return Narrow(UInt64FromDecimal(ToDecimal(v)));
    }
  }

 private:
  template <class W>
  static X Narrow(W w) {
    if (!std::in_range<X>(w)) errors::Raise(errors::kOverflow);
    return static_cast<X>(w);
  }
};

// An enum: a 16-bit integer when its underlying type fits one, else a 32-bit
// integer. A let takes only the enumerators, unless the enum is open.
template <DeclaredEnum E>
struct Scalar<E> {
  using Underlying = std::underlying_type_t<E>;
  static constexpr auto kEnumerators = AutomationEnumerators(E{});
  static constexpr bool kOpen = std::is_same_v<std::remove_cv_t<decltype(kEnumerators)>, OpenEnum>;
  static constexpr VarType kType =
      FitsIn<Underlying>(INT16_MIN, INT16_MAX) ? VarType::I2 : VarType::I4;

  static constexpr bool EnumeratorsFitI4() noexcept {
    if constexpr (kOpen) {
      return FitsIn<Underlying>(INT32_MIN, INT32_MAX);
    } else {
      for (E e : kEnumerators) {
        if (!std::in_range<std::int32_t>(static_cast<Underlying>(e))) return false;
      }
      return true;
    }
  }
  static_assert(EnumeratorsFitI4(),
                "an enum property is a 32-bit integer: its values must fit one (an open enum: "
                "its underlying type)");

  static Variant ToVariant(const E& e) {
    if constexpr (kType == VarType::I2) {
      return Variant(static_cast<std::int16_t>(e));
    } else {
      // The value of an open enum fits by its type; that of a closed one may
      // be no enumerator, set by the client's own code.
      const auto u = static_cast<Underlying>(e);
      if (!std::in_range<std::int32_t>(u)) errors::Raise(errors::kOverflow);
      return Variant(static_cast<std::int32_t>(u));
    }
  }
  // 380 "Invalid property value" for a value that is no enumerator of a
  // closed enum; 6 "Overflow" for one outside the underlying type.
  static E FromVariant(const Variant& v) {
    const std::int32_t w = kType == VarType::I2 ? ToI2(v) : ToI4(v);
    if (!std::in_range<Underlying>(w)) errors::Raise(errors::kOverflow);
    const E e = static_cast<E>(static_cast<Underlying>(w));
    if constexpr (!kOpen) {
      if (std::find(std::begin(kEnumerators), std::end(kEnumerators), e) ==
          std::end(kEnumerators)) {
        errors::Raise(errors::kInvalidPropertyValue);
      }
    }
    return e;
  }
};

// An instant of the system clock, of any precision, as a Date: the instant
// rounded down to the millisecond on the way out; on the way in the Date's
// instant rounded down to the field's precision (a std::chrono::sys_days field
// takes the day a Date falls on). 6 "Overflow" for an instant that the other
// side cannot hold.
template <class D>
struct Scalar<std::chrono::time_point<std::chrono::system_clock, D>> {
  using TimePoint = std::chrono::time_point<std::chrono::system_clock, D>;
  static constexpr VarType kType = VarType::Date;

  static Variant ToVariant(const TimePoint& t) {
    // Days from 1970-01-01 to 0100-01-01 and to 9999-12-31; checked before
    // the conversion to milliseconds, which could overflow outside them.
    constexpr double kFirstDay = -683003.0;
    constexpr double kLastDay = 2932896.0;
    const double days =
        std::chrono::duration<double, std::ratio<86400>>(t.time_since_epoch()).count();
    if (!(days >= kFirstDay - 1.0 && days <= kLastDay + 1.0)) errors::Raise(errors::kOverflow);
    return Variant(DateFromTime(std::chrono::floor<std::chrono::milliseconds>(t)));
  }
  static TimePoint FromVariant(const Variant& v) {
    const auto ms = TimeFromDate(ToDate(v));
    const double seconds = std::chrono::duration<double>(ms.time_since_epoch()).count();
    const double limit = std::chrono::duration<double>(D::max()).count();
    if (!(std::fabs(seconds) < limit - 1.0)) errors::Raise(errors::kOverflow);
    return std::chrono::floor<D>(ms);
  }
};

template <class X>
concept ScalarMember = requires {
  Scalar<X>::kType;
};

// One element of a std::vector field: a scalar, an object reference (Nothing
// included), a Ref<T> or a Variant.
template <class X>
struct Element : Scalar<X> {
  static void Put(SafeArray& array, std::size_t i, const X& x) {
    array.SetFlat(i, Scalar<X>::ToVariant(x));
  }
};
template <>
struct Element<ObjectRef> {
  static constexpr VarType kType = VarType::Dispatch;
  static void Put(SafeArray& array, std::size_t i, const ObjectRef& x) { array.SetFlatRef(i, x); }
  static ObjectRef FromVariant(const Variant& v) {
    if (v.IsEmpty()) return ObjectRef();
    return v.Object();  // 13 for a value that is no object
  }
};
template <class U>
struct Element<Ref<U>> {
  static constexpr VarType kType = VarType::Dispatch;
  static void Put(SafeArray& array, std::size_t i, const Ref<U>& x) {
    array.SetFlatRef(i, x.Object());
  }
  static Ref<U> FromVariant(const Variant& v) {
    if (v.IsEmpty()) return Ref<U>();
    return Ref<U>(v.Object());  // 13 for no object or one of another class
  }
};
template <>
struct Element<Variant> {
  static constexpr VarType kType = VarType::Variant;
  static void Put(SafeArray& array, std::size_t i, const Variant& x) {
    if (x.IsObject()) {
      array.SetFlatRef(i, x.Object());
    } else {
      array.SetFlat(i, x);
    }
  }
  static Variant FromVariant(const Variant& v) { return v; }
};

template <class X>
concept ElementMember = requires {
  Element<X>::kType;
};

// The types whose elements a SafeArray holds as they are, copied in one go.
template <class X>
concept FlatElement = std::is_same_v<X, std::int16_t> || std::is_same_v<X, std::int32_t> ||
    std::is_same_v<X, float> || std::is_same_v<X, double> || std::is_same_v<X, Currency> ||
    std::is_same_v<X, Date> || std::is_same_v<X, ErrorCode> || std::is_same_v<X, std::uint8_t> ||
    std::is_same_v<X, std::string> || std::is_same_v<X, Decimal>;

// The conversions of a whole field of type M that is no automation type of
// its own: kType (its declared type), ToVariant, FromVariant (a let's value, of
// any type; raises as a refused let and leaves nothing changed), and kObject
// for a field assigned by set rather than let.
template <class M>
struct Conversion {};

template <class M>
requires(ScalarMember<M> && !NativeScalar<M>) struct Conversion<M> : Scalar<M> {
  static constexpr bool kObject = false;
};

// std::optional: Empty when absent, the value as its type when present, so
// the property is a Variant; a let of Empty or Null empties it.
template <ScalarMember X>
struct Conversion<std::optional<X>> {
  static constexpr VarType kType = VarType::Variant;
  static constexpr bool kObject = false;
  static Variant ToVariant(const std::optional<X>& x) {
    if (!x) return Variant();
    return Scalar<X>::ToVariant(*x);
  }
  static std::optional<X> FromVariant(const Variant& v) {
    if (v.IsEmpty() || v.IsNull()) return std::nullopt;
    return Scalar<X>::FromVariant(v);
  }
};

// std::vector: a one-dimensional array from 0 of the element type. A let
// takes an array of one dimension (any lower bound) or none, converting each
// element; when one does not convert the let fails as a whole.
template <ElementMember X>
struct Conversion<std::vector<X>> {
  static constexpr VarType kType = VarType::Array | Element<X>::kType;
  static constexpr bool kObject = false;
  static Variant ToVariant(const std::vector<X>& x) {
    if (x.size() > SafeArray::kMaxElements) errors::Raise(errors::kOutOfMemory);
    const auto n = static_cast<std::int32_t>(x.size());
    SafeArray array(Element<X>::kType, {ArrayBound{0, n - 1}});
    if constexpr (FlatElement<X>) {
      std::copy(x.begin(), x.end(), array.MutableFlatElements<X>().begin());
    } else {
      for (std::size_t i = 0; i < x.size(); ++i) Element<X>::Put(array, i, x[i]);
    }
    return Variant(std::move(array));
  }
  static std::vector<X> FromVariant(const Variant& v) {
    const SafeArray& array = v.Array();  // 13 for a value that is no array
    if (array.Dims() > 1) errors::Raise(errors::kTypeMismatch);
    std::vector<X> out;
    if constexpr (FlatElement<X>) {
      if (array.ElementType() == Element<X>::kType) {
        const auto cells = array.FlatElements<X>();
        out.assign(cells.begin(), cells.end());
        return out;
      }
    }
    const std::size_t n = array.Count();
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) out.push_back(Element<X>::FromVariant(array.GetFlat(i)));
    return out;
  }
};

// Ref<U>: an object (get + set); the set takes Nothing or an object of class U.
template <class U>
struct Conversion<Ref<U>> {
  static constexpr VarType kType = VarType::Dispatch;
  static constexpr bool kObject = true;
  static Variant ToVariant(const Ref<U>& x) { return Variant(x.Object()); }
};

// A field type that ClassBuilder declares through Conversion.
template <class M>
concept ConvertedMember = requires {
  Conversion<M>::kType;
};

}  // namespace replikon::detail
