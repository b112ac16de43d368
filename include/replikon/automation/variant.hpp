// Variant: a value of any automation type, tagged with its VARTYPE code.
#pragma once

#include "replikon/export.hpp"

#include <bit>
#include <chrono>
#include <compare>
#include <concepts>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

#include "replikon/automation/object_ref.hpp"

namespace replikon {

// Automation type codes. `Array` is a flag combined with an element type:
// `VarType::Array | VarType::UI1` (8209) is a byte array.
enum class VarType : std::uint16_t {
  Empty = 0,
  Null = 1,
  I2 = 2,
  I4 = 3,
  R4 = 4,
  R8 = 5,
  Cy = 6,
  Date = 7,
  BStr = 8,
  Dispatch = 9,
  Error = 10,
  Bool = 11,
  Variant = 12,
  Decimal = 14,
  UI1 = 17,
  Array = 0x2000,
};

constexpr VarType operator|(VarType a, VarType b) noexcept {
  return static_cast<VarType>(static_cast<std::uint16_t>(a) | static_cast<std::uint16_t>(b));
}
constexpr std::uint16_t Code(VarType t) noexcept {
  return static_cast<std::uint16_t>(t);
}
constexpr bool IsArrayType(VarType t) noexcept {
  return (Code(t) & Code(VarType::Array)) != 0;
}
// The type without the array flag.
constexpr VarType ElementTypeOf(VarType t) noexcept {
  return static_cast<VarType>(Code(t) & ~Code(VarType::Array));
}
inline constexpr VarType kByteArrayType = VarType::Array | VarType::UI1;

// Currency: a 64-bit integer scaled by 10,000 (1.5 is stored as 15000).
struct REPLIKON_API Currency {
  static constexpr std::int64_t kScale = 10000;
  std::int64_t scaled = 0;
  friend constexpr auto operator<=>(const Currency&, const Currency&) = default;
};

// Date: days since 1899-12-30, the fraction being the time of day.
struct REPLIKON_API Date {
  double days = 0.0;
  friend constexpr bool operator==(const Date& a, const Date& b) noexcept {
    return std::bit_cast<std::uint64_t>(a.days) == std::bit_cast<std::uint64_t>(b.days);
  }
};

// Decimal: a 96-bit unsigned integer (hi:lo), a scale of 0..28 (the power of ten the
// integer is divided by) and a sign.
struct REPLIKON_API Decimal {
  std::uint32_t hi = 0;
  std::uint64_t lo = 0;
  std::uint8_t scale = 0;
  bool negative = false;
  friend constexpr bool operator==(const Decimal&, const Decimal&) = default;
};

// An automation error code (VT_ERROR), an HRESULT-style 32-bit value.
struct REPLIKON_API ErrorCode {
  std::int32_t scode = 0;
  friend constexpr bool operator==(const ErrorCode&, const ErrorCode&) = default;
};
// The value that stands for an omitted optional argument (DISP_E_PARAMNOTFOUND).
inline constexpr ErrorCode kMissingArgument{static_cast<std::int32_t>(0x80020004u)};

// Tag for the Null value.
struct REPLIKON_API NullValue {
  friend constexpr bool operator==(NullValue, NullValue) noexcept { return true; }
};
inline constexpr NullValue kNull{};

class SafeArray;

class REPLIKON_API Variant {
 public:
  Variant() noexcept = default;  // Empty
  Variant(NullValue) noexcept : v_(NullValue{}) {}
  Variant(std::int16_t x) noexcept : v_(x) {}
  Variant(std::int32_t x) noexcept : v_(x) {}
  Variant(float x) noexcept : v_(x) {}
  Variant(double x) noexcept : v_(x) {}
  Variant(Currency x) noexcept : v_(x) {}
  Variant(Date x) noexcept : v_(x) {}
  Variant(std::string x) noexcept : v_(std::move(x)) {}
  Variant(std::string_view x) : v_(std::string(x)) {}
  Variant(const char* x) : v_(std::string(x)) {}
  Variant(ObjectRef x) noexcept : v_(std::move(x)) {}
  Variant(ErrorCode x) noexcept : v_(x) {}
  // Exactly a bool: a pointer or another type that merely converts to bool
  // is refused at compile time instead of turning into True.
  template <std::same_as<bool> B>
  Variant(B x) noexcept : v_(x) {}
  Variant(Decimal x) noexcept : v_(x) {}
  Variant(std::uint8_t x) noexcept : v_(x) {}
  Variant(SafeArray array);
  Variant(std::shared_ptr<SafeArray> array) noexcept;  // shares; null pointer gives Empty

  // The value of an omitted optional argument.
  static Variant Missing() noexcept { return Variant(kMissingArgument); }

  VarType Type() const noexcept;

  bool IsEmpty() const noexcept { return v_.index() == 0; }
  bool IsNull() const noexcept { return std::holds_alternative<NullValue>(v_); }
  bool IsObject() const noexcept { return std::holds_alternative<ObjectRef>(v_); }
  bool IsArray() const noexcept { return std::holds_alternative<std::shared_ptr<SafeArray>>(v_); }
  bool IsString() const noexcept { return std::holds_alternative<std::string>(v_); }
  bool IsMissing() const noexcept {
    const ErrorCode* e = std::get_if<ErrorCode>(&v_);
    return e != nullptr && *e == kMissingArgument;
  }

  // Typed access without conversion: a pointer to the held value when the
  // Variant holds exactly that type, else nullptr.
  template <class T>
  const T* GetIf() const noexcept {
    return std::get_if<T>(&v_);
  }
  template <class T>
  T* GetIf() noexcept {
    return std::get_if<T>(&v_);
  }

  // The held string, object or array; AutomationError 13 "Type mismatch" when
  // the Variant holds something else.
  const std::string& String() const;
  const ObjectRef& Object() const;
  const SafeArray& Array() const;
  // The held array for change; copied first when another Variant shares it.
  SafeArray& MutableArray();
  // The shared array pointer, for moving arrays between Variants without copying.
  const std::shared_ptr<SafeArray>& ArrayPtr() const;

  // Same VARTYPE and same value. Floating-point values compare bit for bit
  // (so -0.0 differs from 0.0 and a NaN equals the same NaN), objects by
  // identity, arrays element by element with their bounds.
  friend bool operator==(const Variant& a, const Variant& b);

 private:
  using Storage = std::variant<std::monostate, NullValue, std::int16_t, std::int32_t, float, double,
                               Currency, Date, std::string, ObjectRef, ErrorCode, bool, Decimal,
                               std::uint8_t, std::shared_ptr<SafeArray>>;
  Storage v_;
};

REPLIKON_API bool operator==(const Variant& a, const Variant& b);

// Conversion with the automation rules (VariantChangeType-style):
// - numbers convert among themselves; a value outside the target's range raises 6 "Overflow";
//   floating point to an integer rounds half to even;
// - Booleans are -1 (true) and 0 (false) as numbers; any nonzero number is true;
// - strings convert to and from numbers, Booleans ("True"/"False", case-insensitive, or a
//   number) and dates; a string that is no number raises 13 "Type mismatch";
// - Empty converts to the zero of the target type ("" for strings);
// - Null raises 94 "Invalid use of Null" (except to Null, Variant or Empty targets);
// - an object converts through the value of its default member (DISPID_VALUE); an object
//   without one, or a null reference, raises 13 or 91 as the platform does;
// - arrays convert only to an array target of the same type (or to Variant), else 13;
// - anything else raises 13 "Type mismatch".
// Converting to VarType::Variant returns the value unchanged.
REPLIKON_API Variant ChangeType(const Variant& value, VarType target);

// The value assignment of `value` (VB's `Let`): an object yields the value of its default
// member, recursively; anything else is returned unchanged.
REPLIKON_API Variant ValueOf(const Variant& value);

// Shorthands for ChangeType to one C++ type; they raise as ChangeType does.
REPLIKON_API std::int16_t ToI2(const Variant& v);
REPLIKON_API std::int32_t ToI4(const Variant& v);
REPLIKON_API float ToR4(const Variant& v);
REPLIKON_API double ToR8(const Variant& v);
REPLIKON_API Currency ToCy(const Variant& v);
REPLIKON_API Date ToDate(const Variant& v);
REPLIKON_API std::string ToBStr(const Variant& v);
REPLIKON_API bool ToBool(const Variant& v);
REPLIKON_API Decimal ToDecimal(const Variant& v);
REPLIKON_API std::uint8_t ToUI1(const Variant& v);

// ---- Dates and <chrono> -------------------------------------------------------
// A Date holds the instants from 0100-01-01 00:00 to 9999-12-31 23:59:59.999;
// these conversions are exact to the millisecond in both directions.

// The Date of an instant; 6 "Overflow" outside that range.
REPLIKON_API Date DateFromTime(std::chrono::sys_time<std::chrono::milliseconds> time);
// The instant of a Date, rounded to the nearest millisecond; 6 "Overflow" for
// a Date outside that range (or not a number).
REPLIKON_API std::chrono::sys_time<std::chrono::milliseconds> TimeFromDate(Date date);

// ---- Exact numbers as text and as integers -------------------------------------
// Text in invariant form: "-1234.5", without trailing fraction zeros.
REPLIKON_API std::string ToString(Currency value);
REPLIKON_API std::string ToString(const Decimal& value);
// From text as ChangeType reads it ("12.34", "-5", "1e3"): 13 "Type mismatch"
// for text that is no number, 6 "Overflow" for one out of range; digits past
// the type's precision are rounded half to even.
REPLIKON_API Currency CurrencyFromString(std::string_view text);
REPLIKON_API Decimal DecimalFromString(std::string_view text);
// Every 64-bit integer is a Decimal exactly.
REPLIKON_API Decimal DecimalFromInt64(std::int64_t value) noexcept;
REPLIKON_API Decimal DecimalFromUInt64(std::uint64_t value) noexcept;
// The Decimal rounded half to even to a whole number; 6 "Overflow" when that
// does not fit.
REPLIKON_API std::int64_t Int64FromDecimal(const Decimal& value);
REPLIKON_API std::uint64_t UInt64FromDecimal(const Decimal& value);

// The text of a value as the platform would print it (numbers in invariant form,
// Booleans as "True"/"False"); used for messages and the inspector.
REPLIKON_API std::string DisplayText(const Variant& v);

// Whether an array can hold elements of this type.
REPLIKON_API bool IsArrayElementType(VarType t) noexcept;

// The name of a type code, for messages: "Integer", "Long", "String", "Byte()".
REPLIKON_API std::string TypeName(VarType t);

}  // namespace replikon
