#include "replikon/automation/variant.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>

#include "automation/civil_days.hpp"
#include "replikon/automation/error.hpp"
#include "replikon/automation/safe_array.hpp"
#include "replikon/automation/type_info.hpp"

namespace replikon {

namespace {

__extension__ typedef unsigned __int128 U128;

[[noreturn]] void TypeMismatch() {
  errors::Raise(errors::kTypeMismatch);
}
[[noreturn]] void Overflow() {
  errors::Raise(errors::kOverflow);
}
[[noreturn]] void UseOfNull() {
  errors::Raise(errors::kInvalidUseOfNull);
}

// ---- Default values of objects ----------------------------------------------

// Objects whose default member yields another object are followed this deep.
constexpr int kMaxDefaultValueDepth = 16;

// The value of the object's default member (DISPID_VALUE), followed through
// objects until it is no object.
Variant DefaultValue(ObjectRef object) {
  for (int depth = 0; depth < kMaxDefaultValueDepth; ++depth) {
    if (object.IsNull()) errors::Raise(errors::kObjectNotSet);
    const std::shared_ptr<const InterfaceDescription> iface = DescribeObject(object);
    const MemberDescription* member =
        iface == nullptr ? nullptr : iface->FindById(kDispIdValue, InvokeKind::PropertyGet);
    if (member == nullptr && iface != nullptr) {
      member = iface->FindById(kDispIdValue, InvokeKind::Function);
    }
    if (member == nullptr) {
      errors::RaiseWithDetail(errors::kNotSupported,
                              object->Class().Name() + " has no default member");
    }
    Variant value = member->Invoke(*object, {});
    if (!value.IsObject()) return value;
    object = value.Object();
  }
  TypeMismatch();
}

// Calls f with the value itself, or with its default value when it is an object.
template <class F>
auto WithValue(const Variant& v, F&& f) {
  if (!v.IsObject()) return f(v);
  const Variant value = DefaultValue(v.Object());
  return f(value);
}

// ---- Rounding ----------------------------------------------------------------

// Rounds a finite double to an integral value, ties to the even neighbour.
double RoundHalfEven(double x) noexcept {
  const double f = std::floor(x);
  const double d = x - f;
  if (d > 0.5) return f + 1.0;
  if (d < 0.5) return f;
  return std::fmod(f, 2.0) == 0.0 ? f : f + 1.0;
}

// Rounds a double to a 64-bit integer; 6 "Overflow" when it does not fit or is NaN.
std::int64_t RoundToInt64(double x) {
  // 2^63 is exactly representable; anything at or beyond it does not fit.
  constexpr double kLimit = 9223372036854775808.0;
  if (!(x >= -kLimit && x < kLimit)) Overflow();
  const double r = RoundHalfEven(x);
  if (r >= kLimit) Overflow();
  return static_cast<std::int64_t>(r);
}

// ---- Decimal arithmetic ------------------------------------------------------

constexpr int kMaxDecimalScale = 28;
constexpr U128 kMaxMantissa = (U128{1} << 96) - 1;

constexpr std::array<U128, 39> MakePowersOfTen() {
  std::array<U128, 39> p{};
  p[0] = 1;
  for (std::size_t i = 1; i < p.size(); ++i) p[i] = p[i - 1] * 10;
  return p;
}
constexpr std::array<U128, 39> kPow10 = MakePowersOfTen();

U128 MantissaOf(const Decimal& d) noexcept {
  return (U128{d.hi} << 64) | d.lo;
}

Decimal MakeDecimal(U128 mantissa, int scale, bool negative) noexcept {
  Decimal d;
  d.hi = static_cast<std::uint32_t>(mantissa >> 64);
  d.lo = static_cast<std::uint64_t>(mantissa);
  d.scale = static_cast<std::uint8_t>(scale);
  d.negative = negative && mantissa != 0;
  return d;
}

const Decimal& CheckedDecimal(const Decimal& d) {
  if (d.scale > kMaxDecimalScale) errors::Raise(errors::kInvalidProcedureCall);
  return d;
}

// q = round(m / divisor), ties to even.
U128 DivRoundHalfEven(U128 m, U128 divisor) noexcept {
  U128 q = m / divisor;
  const U128 r = m % divisor;
  const U128 twice = r * 2;
  if (twice > divisor || (twice == divisor && (q & 1) != 0)) ++q;
  return q;
}

// The magnitude of the decimal rounded to a whole number.
U128 DecimalWholeMagnitude(const Decimal& d) {
  CheckedDecimal(d);
  return DivRoundHalfEven(MantissaOf(d), kPow10[d.scale]);
}

std::int64_t DecimalToInt64(const Decimal& d) {
  const U128 mag = DecimalWholeMagnitude(d);
  constexpr U128 kMaxPositive = static_cast<U128>(std::numeric_limits<std::int64_t>::max());
  if (d.negative) {
    if (mag > kMaxPositive + 1) Overflow();
    return mag == kMaxPositive + 1 ? std::numeric_limits<std::int64_t>::min()
                                   : -static_cast<std::int64_t>(mag);
  }
  if (mag > kMaxPositive) Overflow();
  return static_cast<std::int64_t>(mag);
}

Decimal WholeDecimal(std::int64_t x) noexcept {
  const bool negative = x < 0;
  const std::uint64_t mag =
      negative ? std::uint64_t{0} - static_cast<std::uint64_t>(x) : static_cast<std::uint64_t>(x);
  return MakeDecimal(mag, 0, negative);
}

// Writes the decimal digits of m into the end of buf; returns the first digit.
char* WriteDigits(U128 m, char* end) noexcept {
  char* p = end;
  do {
    *--p = static_cast<char>('0' + static_cast<int>(m % 10));
    m /= 10;
  } while (m != 0);
  return p;
}

// ---- Number syntax -------------------------------------------------------------

bool IsSpace(char c) noexcept {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}
bool IsDigit(char c) noexcept {
  return c >= '0' && c <= '9';
}

std::string_view Trim(std::string_view s) noexcept {
  while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
  return s;
}

bool EqualsNoCase(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i];
    char y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// A number written as [sign] digits [. digits] [e [sign] digits], or NaN/Infinity.
struct ParsedNumber {
  enum class Kind { Finite, NaN, Infinity };
  Kind kind = Kind::Finite;
  bool negative = false;
  std::string_view int_digits;
  std::string_view frac_digits;
  std::int64_t exponent = 0;
  std::string_view unsigned_text;  // the number without its sign, for from_chars

  // The number of significant digits and the decimal exponent of the first one:
  // value = 0.d1d2... * 10^order. Zero for a zero value.
  std::size_t LeadingZeros() const noexcept {
    std::size_t z = 0;
    while (z < int_digits.size() && int_digits[z] == '0') ++z;
    if (z < int_digits.size()) return z;
    std::size_t f = 0;
    while (f < frac_digits.size() && frac_digits[f] == '0') ++f;
    return z + f;
  }
  std::size_t DigitCount() const noexcept { return int_digits.size() + frac_digits.size(); }
  char Digit(std::size_t i) const noexcept {
    return i < int_digits.size() ? int_digits[i] : frac_digits[i - int_digits.size()];
  }
  bool IsZero() const noexcept { return kind == Kind::Finite && LeadingZeros() == DigitCount(); }
  // Decimal exponent of the value's first significant digit, as in 0.d * 10^order.
  std::int64_t Order() const noexcept {
    return static_cast<std::int64_t>(int_digits.size()) -
           static_cast<std::int64_t>(LeadingZeros()) + exponent;
  }
};

std::optional<ParsedNumber> ParseNumber(std::string_view text) noexcept {
  std::string_view s = Trim(text);
  ParsedNumber n;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    n.negative = s.front() == '-';
    s.remove_prefix(1);
  }
  if (EqualsNoCase(s, "NaN")) {
    n.kind = ParsedNumber::Kind::NaN;
    return n;
  }
  if (EqualsNoCase(s, "Infinity")) {
    n.kind = ParsedNumber::Kind::Infinity;
    return n;
  }
  n.unsigned_text = s;
  std::size_t i = 0;
  const std::size_t int_start = i;
  while (i < s.size() && IsDigit(s[i])) ++i;
  n.int_digits = s.substr(int_start, i - int_start);
  if (i < s.size() && s[i] == '.') {
    ++i;
    const std::size_t frac_start = i;
    while (i < s.size() && IsDigit(s[i])) ++i;
    n.frac_digits = s.substr(frac_start, i - frac_start);
  }
  if (n.int_digits.empty() && n.frac_digits.empty()) return std::nullopt;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    bool exp_negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
      exp_negative = s[i] == '-';
      ++i;
    }
    if (i == s.size() || !IsDigit(s[i])) return std::nullopt;
    std::int64_t e = 0;
    for (; i < s.size() && IsDigit(s[i]); ++i) {
      // Saturate: any exponent this large is far outside every type's range.
      if (e < 1000000000) e = e * 10 + (s[i] - '0');
    }
    n.exponent = exp_negative ? -e : e;
  }
  if (i != s.size()) return std::nullopt;
  return n;
}

ParsedNumber ParseNumberOrMismatch(std::string_view text) {
  std::optional<ParsedNumber> n = ParseNumber(text);
  if (!n) TypeMismatch();
  return *n;
}

// The parsed number as a Decimal, rounded half to even to at most 28 decimal
// places; 6 "Overflow" when it is too large.
Decimal DecimalFromParsed(const ParsedNumber& n) {
  if (n.kind != ParsedNumber::Kind::Finite) Overflow();
  const std::size_t first = n.LeadingZeros();
  const std::int64_t count = static_cast<std::int64_t>(n.DigitCount() - first);
  // value = D * 10^e with D the significant digits.
  const std::int64_t e = n.exponent - static_cast<std::int64_t>(n.frac_digits.size());
  if (count == 0) {
    const std::int64_t scale = e < 0 ? std::min<std::int64_t>(-e, kMaxDecimalScale) : 0;
    return MakeDecimal(0, static_cast<int>(scale), false);
  }
  if (e >= 0) {
    if (count + e > 29) Overflow();
    U128 m = 0;
    for (std::int64_t i = 0; i < count; ++i) {
      m = m * 10 + static_cast<unsigned>(n.Digit(first + static_cast<std::size_t>(i)) - '0');
    }
    m *= kPow10[static_cast<std::size_t>(e)];
    if (m > kMaxMantissa) Overflow();
    return MakeDecimal(m, 0, n.negative);
  }
  const std::int64_t full_scale = -e;
  std::int64_t drop = std::max<std::int64_t>({0, full_scale - kMaxDecimalScale, count - 29});
  for (;;) {
    const std::int64_t scale = full_scale - drop;
    if (scale < 0) Overflow();
    const std::int64_t keep = count - drop;
    U128 m = 0;
    for (std::int64_t i = 0; i < keep; ++i) {
      m = m * 10 + static_cast<unsigned>(n.Digit(first + static_cast<std::size_t>(i)) - '0');
    }
    if (keep >= 0 && drop > 0) {
      // Round on the first dropped digit, the rest deciding ties.
      const int next = n.Digit(first + static_cast<std::size_t>(keep)) - '0';
      bool sticky = false;
      for (std::int64_t i = keep + 1; i < count && !sticky; ++i) {
        sticky = n.Digit(first + static_cast<std::size_t>(i)) != '0';
      }
      if (next > 5 || (next == 5 && (sticky || (m & 1) != 0))) ++m;
    }
    if (m <= kMaxMantissa) return MakeDecimal(m, static_cast<int>(scale), n.negative);
    ++drop;
  }
}

// Builds "digits" "e-" "scale" of a decimal into buf for from_chars.
template <class Float>
Float FloatFromDecimal(const Decimal& d) {
  CheckedDecimal(d);
  char buf[64];
  char* const end = buf + 48;
  char* p = WriteDigits(MantissaOf(d), end);
  char* q = end;
  *q++ = 'e';
  *q++ = '-';
  q = std::to_chars(q, buf + sizeof buf, static_cast<int>(d.scale)).ptr;
  Float value{};
  std::from_chars(p, q, value);
  return d.negative ? -value : value;
}

// A parsed number as a double or float; 6 "Overflow" when out of range.
template <class Float>
Float FloatFromParsed(const ParsedNumber& n) {
  Float value{};
  switch (n.kind) {
    case ParsedNumber::Kind::NaN:
      value = std::numeric_limits<Float>::quiet_NaN();
      break;
    case ParsedNumber::Kind::Infinity:
      value = std::numeric_limits<Float>::infinity();
      break;
    case ParsedNumber::Kind::Finite: {
      const char* begin = n.unsigned_text.data();
      const char* end = begin + n.unsigned_text.size();
      const std::from_chars_result r = std::from_chars(begin, end, value);
      if (r.ec == std::errc::result_out_of_range) {
        if (n.Order() > 0) Overflow();
        value = 0;
      } else if (r.ec != std::errc{} || r.ptr != end) {
        TypeMismatch();
      }
      break;
    }
  }
  return n.negative ? -value : value;
}

// ---- Dates -------------------------------------------------------------------

// The platform's date range: 0100-01-01 to 9999-12-31 (days since 1899-12-30).
constexpr double kMinDateDay = -657434.0;
constexpr double kMaxDateDay = 2958465.0;
constexpr std::int64_t kEpochOffset = 25569;  // 1899-12-30 to 1970-01-01

double CheckedDate(double days) {
  if (!(days > kMinDateDay - 1.0 && days < kMaxDateDay + 1.0)) Overflow();
  return days;
}

using detail::Civil;
using detail::CivilFromDays;
using detail::DaysFromCivil;

unsigned DaysInMonth(std::int64_t y, unsigned m) noexcept {
  static constexpr unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (m != 2) return kDays[m - 1];
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return leap ? 29 : 28;
}

// Reads 1..max_digits digits at s[i]; advances i.
std::optional<unsigned> ReadField(std::string_view s, std::size_t& i, std::size_t min_digits,
                                  std::size_t max_digits) noexcept {
  unsigned value = 0;
  std::size_t n = 0;
  while (i < s.size() && n < max_digits && IsDigit(s[i])) {
    value = value * 10 + static_cast<unsigned>(s[i] - '0');
    ++i;
    ++n;
  }
  if (n < min_digits) return std::nullopt;
  return value;
}

// "hh:mm[:ss]" from s[i] to the end; seconds of the day.
std::optional<std::int64_t> ParseTime(std::string_view s, std::size_t i) noexcept {
  const auto h = ReadField(s, i, 1, 2);
  if (!h || i >= s.size() || s[i] != ':') return std::nullopt;
  ++i;
  const auto m = ReadField(s, i, 2, 2);
  if (!m) return std::nullopt;
  unsigned sec = 0;
  if (i < s.size() && s[i] == ':') {
    ++i;
    const auto x = ReadField(s, i, 2, 2);
    if (!x) return std::nullopt;
    sec = *x;
  }
  if (i != s.size() || *h > 23 || *m > 59 || sec > 59) return std::nullopt;
  return static_cast<std::int64_t>(*h) * 3600 + *m * 60 + sec;
}

// "yyyy-mm-dd[( |T)hh:mm[:ss]]" or "hh:mm[:ss]" as days since 1899-12-30.
std::optional<double> ParseDateText(std::string_view text) noexcept {
  const std::string_view s = Trim(text);
  std::size_t i = 0;
  const auto year = ReadField(s, i, 4, 4);
  if (!year || i >= s.size() || s[i] != '-') {
    const auto t = ParseTime(s, 0);
    if (!t) return std::nullopt;
    return static_cast<double>(*t) / 86400.0;
  }
  ++i;
  const auto month = ReadField(s, i, 1, 2);
  if (!month || i >= s.size() || s[i] != '-') return std::nullopt;
  ++i;
  const auto day = ReadField(s, i, 1, 2);
  if (!day || *year < 100 || *month < 1 || *month > 12 || *day < 1 ||
      *day > DaysInMonth(*year, *month)) {
    return std::nullopt;
  }
  std::int64_t seconds = 0;
  if (i < s.size()) {
    if (s[i] != ' ' && s[i] != 'T') return std::nullopt;
    ++i;
    while (i < s.size() && s[i] == ' ') ++i;
    const auto t = ParseTime(s, i);
    if (!t) return std::nullopt;
    seconds = *t;
  }
  const std::int64_t serial = DaysFromCivil(*year, *month, *day) + kEpochOffset;
  const double fraction = static_cast<double>(seconds) / 86400.0;
  // Before the epoch the time still counts forward from midnight of the day.
  return serial >= 0 ? static_cast<double>(serial) + fraction
                     : static_cast<double>(serial) - fraction;
}

void AppendPadded(std::string& out, std::int64_t value, int width) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, value);
  for (int pad = width - static_cast<int>(r.ptr - buf); pad > 0; --pad) out += '0';
  out.append(buf, r.ptr);
}

std::string FormatDate(double days) {
  if (!(days > kMinDateDay - 1.0 && days < kMaxDateDay + 1.0)) {
    errors::Raise(errors::kInvalidProcedureCall);
  }
  const double whole = std::trunc(days);
  std::int64_t serial = static_cast<std::int64_t>(whole);
  std::int64_t seconds = std::llround(std::fabs(days - whole) * 86400.0);
  if (seconds >= 86400) {
    seconds -= 86400;
    ++serial;
  }
  std::string out;
  const bool has_date = serial != 0;
  if (has_date) {
    const Civil c = CivilFromDays(serial - kEpochOffset);
    AppendPadded(out, c.year, 4);
    out += '-';
    AppendPadded(out, c.month, 2);
    out += '-';
    AppendPadded(out, c.day, 2);
  }
  if (!has_date || seconds != 0) {
    if (has_date) out += ' ';
    AppendPadded(out, seconds / 3600, 2);
    out += ':';
    AppendPadded(out, seconds / 60 % 60, 2);
    out += ':';
    AppendPadded(out, seconds % 60, 2);
  }
  return out;
}

// ---- Text of numbers -----------------------------------------------------------

template <class Float>
std::string FormatFloat(Float x) {
  if (std::isnan(x)) return "NaN";
  if (std::isinf(x)) return x < 0 ? "-Infinity" : "Infinity";
  // The platform prints 15 significant digits for doubles and 7 for singles.
  constexpr int kDigits = std::is_same_v<Float, float> ? 7 : 15;
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::general, kDigits);
  for (char* p = buf; p != r.ptr; ++p) {
    if (*p == 'e') *p = 'E';
  }
  return std::string(buf, r.ptr);
}

std::string FormatInteger(std::int64_t x) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, x);
  return std::string(buf, r.ptr);
}

// Mantissa digits with the point placed by scale, trailing fraction zeros dropped.
std::string FormatScaled(U128 mantissa, int scale, bool negative) {
  char buf[48];
  char* const end = buf + sizeof buf;
  char* p = WriteDigits(mantissa, end);
  std::string digits(p, end);
  std::string out;
  if (negative && mantissa != 0) out += '-';
  if (scale == 0) return out + digits;
  if (digits.size() <= static_cast<std::size_t>(scale)) {
    digits.insert(0, static_cast<std::size_t>(scale) + 1 - digits.size(), '0');
  }
  const std::size_t point = digits.size() - static_cast<std::size_t>(scale);
  std::string frac = digits.substr(point);
  while (!frac.empty() && frac.back() == '0') frac.pop_back();
  out.append(digits, 0, point);
  if (!frac.empty()) {
    out += '.';
    out += frac;
  }
  return out;
}

std::string FormatCurrency(Currency c) {
  const bool negative = c.scaled < 0;
  const std::uint64_t mag = negative ? std::uint64_t{0} - static_cast<std::uint64_t>(c.scaled)
                                     : static_cast<std::uint64_t>(c.scaled);
  return FormatScaled(mag, 4, negative);
}

std::string FormatDecimal(const Decimal& d) {
  CheckedDecimal(d);
  return FormatScaled(MantissaOf(d), d.scale, d.negative);
}

// ---- Conversions of values that are no objects ---------------------------------

// A whole number for an integer target, rounded half to even.
std::int64_t WholeOf(const Variant& v, bool byte_target) {
  switch (v.Type()) {
    case VarType::Empty:
      return 0;
    case VarType::Null:
      UseOfNull();
    case VarType::I2:
      return *v.GetIf<std::int16_t>();
    case VarType::I4:
      return *v.GetIf<std::int32_t>();
    case VarType::UI1:
      return *v.GetIf<std::uint8_t>();
    case VarType::Bool:
      // A true Boolean is all bits set: -1, or 255 as a byte.
      return *v.GetIf<bool>() ? (byte_target ? 255 : -1) : 0;
    case VarType::R4:
      return RoundToInt64(*v.GetIf<float>());
    case VarType::R8:
      return RoundToInt64(*v.GetIf<double>());
    case VarType::Date:
      return RoundToInt64(v.GetIf<Date>()->days);
    case VarType::Cy: {
      const std::int64_t s = v.GetIf<Currency>()->scaled;
      std::int64_t q = s / Currency::kScale;
      const std::int64_t r = s % Currency::kScale;
      const std::int64_t half = Currency::kScale / 2;
      const std::int64_t mag = r < 0 ? -r : r;
      if (mag > half || (mag == half && q % 2 != 0)) q += s < 0 ? -1 : 1;
      return q;
    }
    case VarType::Decimal:
      return DecimalToInt64(*v.GetIf<Decimal>());
    case VarType::BStr:
      return DecimalToInt64(DecimalFromParsed(ParseNumberOrMismatch(v.String())));
    default:
      TypeMismatch();
  }
}

template <class Int>
Int IntegerOf(const Variant& value) {
  return WithValue(value, [](const Variant& v) {
    const std::int64_t x = WholeOf(v, std::is_same_v<Int, std::uint8_t>);
    if (x < std::numeric_limits<Int>::min() || x > std::numeric_limits<Int>::max()) Overflow();
    return static_cast<Int>(x);
  });
}

double DoubleOfPlain(const Variant& v) {
  switch (v.Type()) {
    case VarType::Empty:
      return 0.0;
    case VarType::Null:
      UseOfNull();
    case VarType::I2:
      return *v.GetIf<std::int16_t>();
    case VarType::I4:
      return *v.GetIf<std::int32_t>();
    case VarType::UI1:
      return *v.GetIf<std::uint8_t>();
    case VarType::Bool:
      return *v.GetIf<bool>() ? -1.0 : 0.0;
    case VarType::R4:
      return *v.GetIf<float>();
    case VarType::R8:
      return *v.GetIf<double>();
    case VarType::Date:
      return v.GetIf<Date>()->days;
    case VarType::Cy:
      return static_cast<double>(v.GetIf<Currency>()->scaled) / Currency::kScale;
    case VarType::Decimal:
      return FloatFromDecimal<double>(*v.GetIf<Decimal>());
    case VarType::BStr:
      return FloatFromParsed<double>(ParseNumberOrMismatch(v.String()));
    default:
      TypeMismatch();
  }
}

float FloatOfPlain(const Variant& v) {
  switch (v.Type()) {
    case VarType::Decimal:
      return FloatFromDecimal<float>(*v.GetIf<Decimal>());
    case VarType::BStr:
      return FloatFromParsed<float>(ParseNumberOrMismatch(v.String()));
    default: {
      const double x = DoubleOfPlain(v);
      if (std::isfinite(x) && std::fabs(x) > std::numeric_limits<float>::max()) Overflow();
      return static_cast<float>(x);
    }
  }
}

Currency CurrencyFromWhole(std::int64_t x) {
  constexpr std::int64_t kLimit = std::numeric_limits<std::int64_t>::max() / Currency::kScale;
  if (x > kLimit || x < -kLimit) Overflow();
  return Currency{x * Currency::kScale};
}

Currency CurrencyFromDouble(double x) {
  return Currency{RoundToInt64(x * static_cast<double>(Currency::kScale))};
}

Currency CurrencyFromDecimal(const Decimal& d) {
  CheckedDecimal(d);
  const U128 m = MantissaOf(d);
  const U128 scaled =
      d.scale <= 4 ? m * kPow10[4 - d.scale] : DivRoundHalfEven(m, kPow10[d.scale - 4u]);
  constexpr U128 kMaxPositive = static_cast<U128>(std::numeric_limits<std::int64_t>::max());
  if (d.negative) {
    if (scaled > kMaxPositive + 1) Overflow();
    return Currency{scaled == kMaxPositive + 1 ? std::numeric_limits<std::int64_t>::min()
                                               : -static_cast<std::int64_t>(scaled)};
  }
  if (scaled > kMaxPositive) Overflow();
  return Currency{static_cast<std::int64_t>(scaled)};
}

Currency CurrencyOfPlain(const Variant& v) {
  switch (v.Type()) {
    case VarType::Empty:
      return Currency{};
    case VarType::Null:
      UseOfNull();
    case VarType::I2:
      return CurrencyFromWhole(*v.GetIf<std::int16_t>());
    case VarType::I4:
      return CurrencyFromWhole(*v.GetIf<std::int32_t>());
    case VarType::UI1:
      return CurrencyFromWhole(*v.GetIf<std::uint8_t>());
    case VarType::Bool:
      return CurrencyFromWhole(*v.GetIf<bool>() ? -1 : 0);
    case VarType::R4:
      return CurrencyFromDouble(*v.GetIf<float>());
    case VarType::R8:
      return CurrencyFromDouble(*v.GetIf<double>());
    case VarType::Date:
      return CurrencyFromDouble(v.GetIf<Date>()->days);
    case VarType::Cy:
      return *v.GetIf<Currency>();
    case VarType::Decimal:
      return CurrencyFromDecimal(*v.GetIf<Decimal>());
    case VarType::BStr:
      return CurrencyFromDecimal(DecimalFromParsed(ParseNumberOrMismatch(v.String())));
    default:
      TypeMismatch();
  }
}

// A float as a decimal through its shortest platform text (15 or 7 digits).
template <class Float>
Decimal DecimalFromFloat(Float x) {
  if (!std::isfinite(x)) Overflow();
  constexpr int kDigits = std::is_same_v<Float, float> ? 7 : 15;
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::general, kDigits);
  const std::optional<ParsedNumber> n = ParseNumber(std::string_view(buf, r.ptr - buf));
  if (!n) Overflow();
  return DecimalFromParsed(*n);
}

Decimal DecimalOfPlain(const Variant& v) {
  switch (v.Type()) {
    case VarType::Empty:
      return Decimal{};
    case VarType::Null:
      UseOfNull();
    case VarType::I2:
      return WholeDecimal(*v.GetIf<std::int16_t>());
    case VarType::I4:
      return WholeDecimal(*v.GetIf<std::int32_t>());
    case VarType::UI1:
      return WholeDecimal(*v.GetIf<std::uint8_t>());
    case VarType::Bool:
      return WholeDecimal(*v.GetIf<bool>() ? -1 : 0);
    case VarType::R4:
      return DecimalFromFloat(*v.GetIf<float>());
    case VarType::R8:
      return DecimalFromFloat(*v.GetIf<double>());
    case VarType::Date:
      return DecimalFromFloat(v.GetIf<Date>()->days);
    case VarType::Cy: {
      const std::int64_t s = v.GetIf<Currency>()->scaled;
      const std::uint64_t mag =
          s < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(s) : static_cast<std::uint64_t>(s);
      return MakeDecimal(mag, 4, s < 0);
    }
    case VarType::Decimal:
      return CheckedDecimal(*v.GetIf<Decimal>());
    case VarType::BStr:
      return DecimalFromParsed(ParseNumberOrMismatch(v.String()));
    default:
      TypeMismatch();
  }
}

bool BoolOfPlain(const Variant& v) {
  switch (v.Type()) {
    case VarType::Empty:
      return false;
    case VarType::Null:
      UseOfNull();
    case VarType::I2:
      return *v.GetIf<std::int16_t>() != 0;
    case VarType::I4:
      return *v.GetIf<std::int32_t>() != 0;
    case VarType::UI1:
      return *v.GetIf<std::uint8_t>() != 0;
    case VarType::Bool:
      return *v.GetIf<bool>();
    case VarType::R4:
      return *v.GetIf<float>() != 0.0f;
    case VarType::R8:
      return *v.GetIf<double>() != 0.0;
    case VarType::Date:
      return v.GetIf<Date>()->days != 0.0;
    case VarType::Cy:
      return v.GetIf<Currency>()->scaled != 0;
    case VarType::Decimal:
      return MantissaOf(CheckedDecimal(*v.GetIf<Decimal>())) != 0;
    case VarType::BStr: {
      const std::string_view s = Trim(v.String());
      if (EqualsNoCase(s, "True")) return true;
      if (EqualsNoCase(s, "False")) return false;
      return !ParseNumberOrMismatch(s).IsZero();
    }
    default:
      TypeMismatch();
  }
}

double DateOfPlain(const Variant& v) {
  switch (v.Type()) {
    case VarType::Date:
      return v.GetIf<Date>()->days;
    case VarType::BStr: {
      const std::optional<double> days = ParseDateText(v.String());
      if (!days) TypeMismatch();
      return *days;
    }
    default:
      return CheckedDate(DoubleOfPlain(v));
  }
}

std::string StringOfPlain(const Variant& v) {
  switch (v.Type()) {
    case VarType::Empty:
      return std::string();
    case VarType::Null:
      UseOfNull();
    case VarType::I2:
      return FormatInteger(*v.GetIf<std::int16_t>());
    case VarType::I4:
      return FormatInteger(*v.GetIf<std::int32_t>());
    case VarType::UI1:
      return FormatInteger(*v.GetIf<std::uint8_t>());
    case VarType::Bool:
      return *v.GetIf<bool>() ? "True" : "False";
    case VarType::R4:
      return FormatFloat(*v.GetIf<float>());
    case VarType::R8:
      return FormatFloat(*v.GetIf<double>());
    case VarType::Date:
      return FormatDate(v.GetIf<Date>()->days);
    case VarType::Cy:
      return FormatCurrency(*v.GetIf<Currency>());
    case VarType::Decimal:
      return FormatDecimal(*v.GetIf<Decimal>());
    case VarType::BStr:
      return v.String();
    default:
      TypeMismatch();
  }
}

}  // namespace

bool IsArrayElementType(VarType t) noexcept {
  switch (t) {
    case VarType::I2:
    case VarType::I4:
    case VarType::R4:
    case VarType::R8:
    case VarType::Cy:
    case VarType::Date:
    case VarType::BStr:
    case VarType::Dispatch:
    case VarType::Error:
    case VarType::Bool:
    case VarType::Variant:
    case VarType::Decimal:
    case VarType::UI1:
      return true;
    default:
      return false;
  }
}

namespace {

Variant ToArrayType(const Variant& value, VarType target) {
  if (!IsArrayElementType(ElementTypeOf(target))) TypeMismatch();
  if (value.IsEmpty()) return Variant(SafeArray(ElementTypeOf(target)));
  if (value.IsNull()) UseOfNull();
  return WithValue(value, [target](const Variant& v) {
    if (!v.IsArray() || v.Type() != target) TypeMismatch();
    return v;
  });
}

}  // namespace

// ---- Variant -----------------------------------------------------------------

Variant::Variant(SafeArray array) : v_(std::make_shared<SafeArray>(std::move(array))) {}

Variant::Variant(std::shared_ptr<SafeArray> array) noexcept {
  if (array != nullptr) v_ = std::move(array);
}

VarType Variant::Type() const noexcept {
  static constexpr VarType kTypes[] = {
      VarType::Empty, VarType::Null, VarType::I2,      VarType::I4,   VarType::R4,
      VarType::R8,    VarType::Cy,   VarType::Date,    VarType::BStr, VarType::Dispatch,
      VarType::Error, VarType::Bool, VarType::Decimal, VarType::UI1};
  const std::size_t i = v_.index();
  if (i < std::size(kTypes)) return kTypes[i];
  const auto* array = std::get_if<std::shared_ptr<SafeArray>>(&v_);
  return array != nullptr && *array != nullptr ? (*array)->Type() : VarType::Empty;
}

const std::string& Variant::String() const {
  const auto* p = std::get_if<std::string>(&v_);
  if (p == nullptr) TypeMismatch();
  return *p;
}

const ObjectRef& Variant::Object() const {
  const auto* p = std::get_if<ObjectRef>(&v_);
  if (p == nullptr) TypeMismatch();
  return *p;
}

const SafeArray& Variant::Array() const {
  return *ArrayPtr();
}

SafeArray& Variant::MutableArray() {
  auto* p = std::get_if<std::shared_ptr<SafeArray>>(&v_);
  if (p == nullptr) TypeMismatch();
  if (p->use_count() > 1) *p = std::make_shared<SafeArray>(**p);
  return **p;
}

const std::shared_ptr<SafeArray>& Variant::ArrayPtr() const {
  const auto* p = std::get_if<std::shared_ptr<SafeArray>>(&v_);
  if (p == nullptr) TypeMismatch();
  return *p;
}

bool operator==(const Variant& a, const Variant& b) {
  if (a.v_.index() != b.v_.index()) return false;
  return std::visit(
      [&b](const auto& x) -> bool {
        using T = std::decay_t<decltype(x)>;
        const T& y = *std::get_if<T>(&b.v_);
        if constexpr (std::is_same_v<T, std::monostate>) {
          return true;
        } else if constexpr (std::is_same_v<T, float>) {
          return std::bit_cast<std::uint32_t>(x) == std::bit_cast<std::uint32_t>(y);
        } else if constexpr (std::is_same_v<T, double>) {
          return std::bit_cast<std::uint64_t>(x) == std::bit_cast<std::uint64_t>(y);
        } else if constexpr (std::is_same_v<T, std::shared_ptr<SafeArray>>) {
          return x == y || *x == *y;
        } else {
          return x == y;
        }
      },
      a.v_);
}

// ---- Conversions ---------------------------------------------------------------

namespace {

// Error 13 saying which conversion failed: "a String (\"abc\") does not
// convert to Long". A string short enough to read is quoted.
[[noreturn]] void RaiseMismatch(const Variant& from, VarType to) {
  constexpr std::size_t kQuotedLength = 40;
  std::string detail = "a " + TypeName(from.Type());
  if (from.IsString() && from.String().size() <= kQuotedLength) {
    detail += " (\"" + from.String() + "\")";
  }
  detail += " does not convert to " + TypeName(to);
  errors::RaiseWithDetail(errors::kTypeMismatch, detail);
}

// f(), a type mismatch raised in it saying what was converted to what (unless
// it says so already).
template <class F>
auto Converting(const Variant& from, VarType to, F&& f) {
  try {
    return f();
  } catch (const AutomationError& e) {
    if (e.Number() != errors::kTypeMismatch || !e.DetailList().empty()) throw;
    RaiseMismatch(from, to);
  }
}

}  // namespace

std::int16_t ToI2(const Variant& v) {
  return Converting(v, VarType::I2, [&] { return IntegerOf<std::int16_t>(v); });
}
std::int32_t ToI4(const Variant& v) {
  return Converting(v, VarType::I4, [&] { return IntegerOf<std::int32_t>(v); });
}
std::uint8_t ToUI1(const Variant& v) {
  return Converting(v, VarType::UI1, [&] { return IntegerOf<std::uint8_t>(v); });
}
float ToR4(const Variant& v) {
  return Converting(v, VarType::R4, [&] { return WithValue(v, FloatOfPlain); });
}
double ToR8(const Variant& v) {
  return Converting(v, VarType::R8, [&] { return WithValue(v, DoubleOfPlain); });
}
Currency ToCy(const Variant& v) {
  return Converting(v, VarType::Cy, [&] { return WithValue(v, CurrencyOfPlain); });
}
Date ToDate(const Variant& v) {
  return Converting(v, VarType::Date, [&] { return Date{WithValue(v, DateOfPlain)}; });
}
std::string ToBStr(const Variant& v) {
  return Converting(v, VarType::BStr, [&] { return WithValue(v, StringOfPlain); });
}
bool ToBool(const Variant& v) {
  return Converting(v, VarType::Bool, [&] { return WithValue(v, BoolOfPlain); });
}
Decimal ToDecimal(const Variant& v) {
  return Converting(v, VarType::Decimal, [&] { return WithValue(v, DecimalOfPlain); });
}

Variant ValueOf(const Variant& value) {
  if (!value.IsObject()) return value;
  return DefaultValue(value.Object());
}

namespace {

Variant ChangeTypeOf(const Variant& value, VarType target) {
  if (target == VarType::Variant) return value;
  if (IsArrayType(target)) return ToArrayType(value, target);
  switch (target) {
    case VarType::Empty:
      if (value.IsArray()) TypeMismatch();
      return Variant();
    case VarType::Null:
      if (!value.IsNull() && !value.IsEmpty()) TypeMismatch();
      return Variant(kNull);
    case VarType::I2:
      return Variant(ToI2(value));
    case VarType::I4:
      return Variant(ToI4(value));
    case VarType::R4:
      return Variant(ToR4(value));
    case VarType::R8:
      return Variant(ToR8(value));
    case VarType::Cy:
      return Variant(ToCy(value));
    case VarType::Date:
      return Variant(ToDate(value));
    case VarType::BStr:
      if (value.IsString()) return value;
      return Variant(ToBStr(value));
    case VarType::Bool:
      return Variant(ToBool(value));
    case VarType::Decimal:
      return Variant(ToDecimal(value));
    case VarType::UI1:
      return Variant(ToUI1(value));
    case VarType::Dispatch:
      if (value.IsObject()) return value;
      if (value.IsEmpty()) return Variant(ObjectRef());
      if (value.IsNull()) UseOfNull();
      TypeMismatch();
    case VarType::Error:
      if (value.IsEmpty()) return Variant(ErrorCode{});
      if (value.IsNull()) UseOfNull();
      return WithValue(value, [](const Variant& v) {
        if (v.GetIf<ErrorCode>() == nullptr) TypeMismatch();
        return v;
      });
    default:
      TypeMismatch();
  }
}

}  // namespace

Variant ChangeType(const Variant& value, VarType target) {
  return Converting(value, target, [&] { return ChangeTypeOf(value, target); });
}

// ---- Text ----------------------------------------------------------------------

std::string TypeName(VarType t) {
  const char* name = "Unknown";
  switch (ElementTypeOf(t)) {
    case VarType::Empty:
      name = "Empty";
      break;
    case VarType::Null:
      name = "Null";
      break;
    case VarType::I2:
      name = "Integer";
      break;
    case VarType::I4:
      name = "Long";
      break;
    case VarType::R4:
      name = "Single";
      break;
    case VarType::R8:
      name = "Double";
      break;
    case VarType::Cy:
      name = "Currency";
      break;
    case VarType::Date:
      name = "Date";
      break;
    case VarType::BStr:
      name = "String";
      break;
    case VarType::Dispatch:
      name = "Object";
      break;
    case VarType::Error:
      name = "Error";
      break;
    case VarType::Bool:
      name = "Boolean";
      break;
    case VarType::Variant:
      name = "Variant";
      break;
    case VarType::Decimal:
      name = "Decimal";
      break;
    case VarType::UI1:
      name = "Byte";
      break;
    default:
      break;
  }
  std::string out = name;
  if (IsArrayType(t)) out += "()";
  return out;
}

std::string DisplayText(const Variant& v) {
  switch (v.Type()) {
    case VarType::Null:
      return "Null";
    case VarType::Dispatch:
      if (v.Object().IsNull()) return "Nothing";
      {
        std::string text = "[";
        text += ClassNameOf(v.Object());
        text += ']';
        return text;
      }
    case VarType::Error: {
      if (v.IsMissing()) return "Missing";
      std::string text = "Error ";
      text += FormatInteger(v.GetIf<ErrorCode>()->scode);
      return text;
    }
    case VarType::Date: {
      const double days = v.GetIf<Date>()->days;
      if (!(days > kMinDateDay - 1.0 && days < kMaxDateDay + 1.0)) {
        std::string text = "Date(";
        text += FormatFloat(days);
        text += ')';
        return text;
      }
      return FormatDate(days);
    }
    case VarType::Decimal:
      if (v.GetIf<Decimal>()->scale > kMaxDecimalScale) return "Decimal(invalid)";
      return FormatDecimal(*v.GetIf<Decimal>());
    default:
      break;
  }
  if (v.IsArray()) {
    const SafeArray& a = v.Array();
    std::string out = TypeName(a.ElementType()) + "(";
    bool first = true;
    for (const ArrayBound& b : a.Bounds()) {
      if (!first) out += ", ";
      first = false;
      out += FormatInteger(b.lower) + " To " + FormatInteger(b.upper);
    }
    return out + ")";
  }
  return StringOfPlain(v);
}

// ---- Dates and <chrono> ------------------------------------------------------

namespace {
constexpr std::int64_t kMsPerDay = 86400000;
}  // namespace

Date DateFromTime(std::chrono::sys_time<std::chrono::milliseconds> time) {
  const std::int64_t ms = time.time_since_epoch().count();
  // Floor division: the day the instant falls in and the time since its midnight.
  std::int64_t day = ms / kMsPerDay;
  std::int64_t of_day = ms % kMsPerDay;
  if (of_day < 0) {
    of_day += kMsPerDay;
    --day;
  }
  const std::int64_t serial = day + kEpochOffset;
  if (serial < static_cast<std::int64_t>(kMinDateDay) ||
      serial > static_cast<std::int64_t>(kMaxDateDay)) {
    Overflow();
  }
  const double fraction = static_cast<double>(of_day) / static_cast<double>(kMsPerDay);
  // Before the epoch the time still counts forward from midnight of the day.
  return Date{serial >= 0 ? static_cast<double>(serial) + fraction
                          : static_cast<double>(serial) - fraction};
}

std::chrono::sys_time<std::chrono::milliseconds> TimeFromDate(Date date) {
  const double days = date.days;
  if (!(days > kMinDateDay - 1.0 && days < kMaxDateDay + 1.0)) Overflow();
  const double whole = std::trunc(days);
  std::int64_t serial = static_cast<std::int64_t>(whole);
  std::int64_t of_day = std::llround(std::fabs(days - whole) * static_cast<double>(kMsPerDay));
  if (of_day >= kMsPerDay) {
    of_day -= kMsPerDay;
    ++serial;
  }
  if (serial < static_cast<std::int64_t>(kMinDateDay) ||
      serial > static_cast<std::int64_t>(kMaxDateDay)) {
    Overflow();
  }
  return std::chrono::sys_time<std::chrono::milliseconds>(
      std::chrono::milliseconds((serial - kEpochOffset) * kMsPerDay + of_day));
}

// ---- Exact numbers as text and as integers ---------------------------------------

std::string ToString(Currency value) {
  return FormatCurrency(value);
}
std::string ToString(const Decimal& value) {
  return FormatDecimal(value);
}
Currency CurrencyFromString(std::string_view text) {
  return CurrencyFromDecimal(DecimalFromParsed(ParseNumberOrMismatch(text)));
}
Decimal DecimalFromString(std::string_view text) {
  return DecimalFromParsed(ParseNumberOrMismatch(text));
}
Decimal DecimalFromInt64(std::int64_t value) noexcept {
  return WholeDecimal(value);
}
Decimal DecimalFromUInt64(std::uint64_t value) noexcept {
  return MakeDecimal(value, 0, false);
}
std::int64_t Int64FromDecimal(const Decimal& value) {
  return DecimalToInt64(value);
}
std::uint64_t UInt64FromDecimal(const Decimal& value) {
  const U128 mag = DecimalWholeMagnitude(value);
  if (value.negative && mag != 0) Overflow();
  if (mag > std::numeric_limits<std::uint64_t>::max()) Overflow();
  return static_cast<std::uint64_t>(mag);
}

}  // namespace replikon
