#include "values.hpp"

#include "python_server.hpp"

#include <datetime.h>
#include <pybind11/stl.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace replikon::python {

namespace {

__extension__ using U128 = unsigned __int128;

constexpr U128 kMaxMantissa = (U128{1} << 96) - 1;
constexpr int kMaxScale = 28;
// Lists inside lists deeper than this are refused rather than walked.
constexpr int kMaxNesting = 1000;

[[noreturn]] void Refuse(std::int32_t number, std::string details) {
  throw AutomationError(number, errors::StandardDescription(number), {}, 0, {}, std::move(details));
}

// replikon.Object's type, set when the module binds it.
PyTypeObject* g_handle_type = nullptr;

bool IsHandle(py::handle value) {
  return g_handle_type != nullptr && PyObject_TypeCheck(value.ptr(), g_handle_type) != 0;
}

const ObjectHandle& HandleOf(py::handle value) {
  return value.cast<const ObjectHandle&>();
}

// A value's type as Python names it: "set", "decimal.Decimal", "app.Foo".
std::string PythonTypeName(py::handle value) {
  const py::handle type = py::type::handle_of(value);
  std::string name = py::str(type.attr("__qualname__")).cast<std::string>();
  const py::object module = py::getattr(type, "__module__", py::none());
  if (py::isinstance<py::str>(module)) {
    std::string module_name = module.cast<std::string>();
    if (module_name != "builtins") name = module_name + "." + name;
  }
  return name;
}

// ---- Decimal --------------------------------------------------------------------

// The Decimal of a decimal.Decimal, read from its text (sign, digits, an
// optional point and exponent): the module offers no C interface to its digits.
Decimal ToDecimalValue(py::handle value) {
  const auto text_object = py::reinterpret_steal<py::object>(PyObject_Str(value.ptr()));
  if (!text_object) throw py::error_already_set();
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(text_object.ptr(), &size);
  if (text == nullptr) throw py::error_already_set();
  const std::string_view digits_text(text, static_cast<std::size_t>(size));
  const auto no_value = [&] {
    Refuse(errors::kOverflow,
           "the decimal.Decimal " + std::string(digits_text) + " has no automation value");
  };
  const auto too_large = [&] {
    Refuse(errors::kOverflow, "the decimal.Decimal " + std::string(digits_text) +
                                  " does not fit a Decimal (96 bits, at most 28 decimals)");
  };
  std::size_t at = 0;
  bool negative = false;
  if (at < digits_text.size() && (digits_text[at] == '-' || digits_text[at] == '+')) {
    negative = digits_text[at++] == '-';
  }
  U128 mantissa = 0;
  long exponent = 0;
  bool any_digit = false;
  bool after_point = false;
  for (; at < digits_text.size(); ++at) {
    const char c = digits_text[at];
    if (c >= '0' && c <= '9') {
      any_digit = true;
      mantissa = mantissa * 10 + static_cast<unsigned>(c - '0');
      if (mantissa > kMaxMantissa) too_large();
      if (after_point) --exponent;
    } else if (c == '.' && !after_point) {
      after_point = true;
    } else {
      break;
    }
  }
  if (!any_digit) no_value();  // Infinity, NaN, sNaN
  if (at < digits_text.size()) {
    if (digits_text[at] != 'E' && digits_text[at] != 'e') no_value();
    ++at;
    bool exponent_negative = false;
    if (at < digits_text.size() && (digits_text[at] == '-' || digits_text[at] == '+')) {
      exponent_negative = digits_text[at++] == '-';
    }
    long written = 0;
    if (at == digits_text.size()) no_value();
    for (; at < digits_text.size(); ++at) {
      const char c = digits_text[at];
      if (c < '0' || c > '9') no_value();
      // Beyond this a value is zero or does not fit, whatever the digits.
      if (written < 1'000'000'000L) written = written * 10 + (c - '0');
    }
    exponent += exponent_negative ? -written : written;
  }
  if (mantissa == 0 && exponent > 0) exponent = 0;
  for (; exponent > 0; --exponent) {
    mantissa *= 10;
    if (mantissa > kMaxMantissa) too_large();
  }
  // Trailing zeros beyond the scale a Decimal holds change nothing of the value.
  for (; exponent < -kMaxScale && mantissa % 10 == 0 && mantissa != 0; ++exponent) mantissa /= 10;
  if (mantissa == 0 && exponent < -kMaxScale) exponent = -kMaxScale;
  if (exponent < -kMaxScale) too_large();
  Decimal d;
  d.hi = static_cast<std::uint32_t>(mantissa >> 64);
  d.lo = static_cast<std::uint64_t>(mantissa);
  d.scale = static_cast<std::uint8_t>(-exponent);
  d.negative = negative && mantissa != 0;
  return d;
}

// The decimal digits of m, written backwards from `end`; returns where they start.
char* WriteDigits(U128 m, char* end) {
  do {
    *--end = static_cast<char>('0' + static_cast<int>(m % 10));
    m /= 10;
  } while (m != 0);
  return end;
}

// decimal.Decimal, looked up once; the reference is kept for the life of the
// process, as the module keeps the type.
py::handle DecimalType() {
  static const py::handle type =
      py::object(py::module_::import("decimal").attr("Decimal")).release();
  return type;
}

// The datetime module's C interface, looked up once.
void NeedDateTimeApi() {
  if (PyDateTimeAPI == nullptr) {
    PyDateTime_IMPORT;
    if (PyDateTimeAPI == nullptr) throw py::error_already_set();
  }
}

// decimal.Decimal(text) for a sign, the digits of a magnitude and a scale.
PyTypeObject* DecimalTypeObject() {
  static PyTypeObject* const type = reinterpret_cast<PyTypeObject*>(DecimalType().ptr());
  return type;
}

py::object MakeDecimal(bool negative, U128 magnitude, unsigned scale) {
  char buffer[48];
  char* const end = buffer + sizeof buffer;
  char* at = end;
  if (scale != 0) {
    do {
      *--at = static_cast<char>('0' + scale % 10);
      scale /= 10;
    } while (scale != 0);
    *--at = '-';
    *--at = 'E';
  }
  at = WriteDigits(magnitude, at);
  if (negative) *--at = '-';
  const auto text = py::reinterpret_steal<py::object>(PyUnicode_FromStringAndSize(at, end - at));
  if (!text) throw py::error_already_set();
  const auto made =
      py::reinterpret_steal<py::object>(PyObject_CallOneArg(DecimalType().ptr(), text.ptr()));
  if (!made) throw py::error_already_set();
  return made;
}

py::object FromDecimalValue(const Decimal& d) {
  return MakeDecimal(d.negative, (U128{d.hi} << 64) | d.lo, d.scale);
}

py::object FromCurrency(const Currency& c) {
  const bool negative = c.scaled < 0;
  const U128 magnitude =
      negative ? U128{0} - static_cast<U128>(c.scaled) : static_cast<U128>(c.scaled);
  return MakeDecimal(negative, magnitude, 4);
}

// An int too wide for a Long: a Decimal with no decimals when it fits 96 bits.
Decimal ToWideInteger(py::handle value) {
  const py::int_ number = py::reinterpret_borrow<py::int_>(value);
  const bool negative = PyObject_RichCompareBool(number.ptr(), py::int_(0).ptr(), Py_LT) == 1;
  const py::int_ magnitude = py::reinterpret_steal<py::int_>(PyNumber_Absolute(number.ptr()));
  if (!magnitude) throw py::error_already_set();
  const py::int_ limit = py::int_(1).attr("__lshift__")(96);
  if (PyObject_RichCompareBool(magnitude.ptr(), limit.ptr(), Py_GE) == 1) {
    Refuse(errors::kOverflow,
           "the int " + py::str(value).cast<std::string>() + " does not fit a Decimal (96 bits)");
  }
  const py::int_ low_mask = py::int_(1).attr("__lshift__")(64).attr("__sub__")(1);
  Decimal d;
  d.lo = magnitude.attr("__and__")(low_mask).cast<std::uint64_t>();
  d.hi = magnitude.attr("__rshift__")(64).cast<std::uint32_t>();
  d.negative = negative;
  return d;
}

// ---- Dates ------------------------------------------------------------------------

using std::chrono::day;
using std::chrono::month;
using std::chrono::sys_days;
using std::chrono::year;
using std::chrono::year_month_day;

constexpr sys_days kDateEpoch = year_month_day{year{1899}, month{12}, day{30}};
constexpr double kMicrosecondsPerDay = 86400.0 * 1e6;

Date ToDateValue(py::handle value, bool has_time) {
  const int y = PyDateTime_GET_YEAR(value.ptr());
  const auto mo = static_cast<unsigned>(PyDateTime_GET_MONTH(value.ptr()));
  const auto d = static_cast<unsigned>(PyDateTime_GET_DAY(value.ptr()));
  const double whole = static_cast<double>(
      (sys_days{year_month_day{year{y}, month{mo}, day{d}}} - kDateEpoch).count());
  double fraction = 0.0;
  if (has_time) {
#if PY_VERSION_HEX >= 0x030A0000
    const bool has_zone = PyDateTime_DATE_GET_TZINFO(value.ptr()) != Py_None;
#else
    const bool has_zone = !value.attr("tzinfo").is_none();
#endif
    if (has_zone) {
      Refuse(errors::kTypeMismatch,
             "a datetime with a time zone has no Date value; give the local time without one");
    }
    const double micros = ((double{PyDateTime_DATE_GET_HOUR(value.ptr())} * 60.0 +
                            double{PyDateTime_DATE_GET_MINUTE(value.ptr())}) *
                               60.0 +
                           double{PyDateTime_DATE_GET_SECOND(value.ptr())}) *
                              1e6 +
                          double{PyDateTime_DATE_GET_MICROSECOND(value.ptr())};
    fraction = micros / kMicrosecondsPerDay;
  }
  // Before the epoch the time of day counts away from zero: -1.25 is
  // 1899-12-29 06:00.
  return Date{whole < 0 ? whole - fraction : whole + fraction};
}

py::object FromDateValue(const Date& date) {
  if (!std::isfinite(date.days) || std::fabs(date.days) > 3.0e6) {
    Refuse(errors::kOverflow, "the Date " + std::to_string(date.days) + " has no datetime value");
  }
  const double whole = std::trunc(date.days);
  const double fraction = std::fabs(date.days - whole);
  // A Date far from the epoch holds the time of day to less than a
  // microsecond: round to the finest power of ten of microseconds that it
  // does hold, so that a time written comes back as it was.
  const double resolution =
      (std::nextafter(std::fabs(date.days), 1e300) - std::fabs(date.days)) * kMicrosecondsPerDay;
  long long step = 1;
  while (static_cast<double>(step) < 2.0 * resolution) step *= 10;
  long long micros =
      std::llround(fraction * kMicrosecondsPerDay / static_cast<double>(step)) * step;
  constexpr long long kMicrosPerDay = 86400000000LL;
  // Rounded up to midnight: the next day.
  const sys_days day_of =
      kDateEpoch + std::chrono::days{static_cast<long>(whole) + (micros >= kMicrosPerDay ? 1 : 0)};
  if (micros >= kMicrosPerDay) micros -= kMicrosPerDay;
  const year_month_day ymd{day_of};
  NeedDateTimeApi();
  const auto made = py::reinterpret_steal<py::object>(PyDateTime_FromDateAndTime(
      static_cast<int>(ymd.year()), static_cast<int>(static_cast<unsigned>(ymd.month())),
      static_cast<int>(static_cast<unsigned>(ymd.day())), static_cast<int>(micros / 3600000000LL),
      static_cast<int>(micros / 60000000LL % 60), static_cast<int>(micros / 1000000 % 60),
      static_cast<int>(micros % 1000000)));
  if (!made) throw py::error_already_set();
  return made;
}

// ---- Arrays -----------------------------------------------------------------------

Variant ToVariantAt(py::handle value, int nesting);

Variant ToArray(py::handle sequence, int nesting) {
  if (nesting > kMaxNesting) {
    Refuse(errors::kOutOfStackSpace, "lists nested more than " + std::to_string(kMaxNesting) +
                                         " deep have no automation value");
  }
  const py::sequence items = py::reinterpret_borrow<py::sequence>(sequence);
  const std::size_t count = items.size();
  if (count > SafeArray::kMaxElements) Refuse(errors::kOutOfMemory, "the list is too long");
  const ArrayBound bound{0, static_cast<std::int32_t>(count) - 1};
  SafeArray array(VarType::Variant, {bound});
  for (std::size_t i = 0; i < count; ++i) {
    Variant element = ToVariantAt(items[i], nesting + 1);
    if (element.IsObject()) {
      array.SetFlatRef(i, element.Object());
    } else {
      array.SetFlat(i, element);
    }
  }
  return Variant(std::move(array));
}

// The elements of dimension `dim` on, as nested lists; `flat` walks the
// elements in row-major order (the last dimension fastest).
py::list ArrayLevel(const SafeArray& array, std::size_t dim, std::size_t& flat) {
  const auto bounds = array.Bounds();
  const std::uint64_t count = bounds[dim].Count();
  py::list level;
  for (std::uint64_t i = 0; i < count; ++i) {
    if (dim + 1 == bounds.size()) {
      level.append(FromVariant(array.GetFlat(flat++)));
    } else {
      level.append(ArrayLevel(array, dim + 1, flat));
    }
  }
  return level;
}

py::object FromArray(const SafeArray& array) {
  if (array.ElementType() == VarType::UI1 && array.Dims() <= 1) return FromByteArray(array);
  if (!array.IsAllocated()) return py::list();
  std::size_t flat = 0;
  return ArrayLevel(array, 0, flat);
}

Variant ToVariantAt(py::handle value, int nesting) {
  if (value.is_none()) return Variant();
  if (PyBool_Check(value.ptr())) return Variant(value.ptr() == Py_True);
  if (PyLong_Check(value.ptr())) {
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (overflow == 0 && number >= std::numeric_limits<std::int32_t>::min() &&
        number <= std::numeric_limits<std::int32_t>::max()) {
      return Variant(static_cast<std::int32_t>(number));
    }
    return Variant(ToWideInteger(value));
  }
  if (PyFloat_Check(value.ptr())) return Variant(PyFloat_AsDouble(value.ptr()));
  if (PyUnicode_Check(value.ptr())) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
    if (text == nullptr) throw py::error_already_set();
    return Variant(std::string(text, static_cast<std::size_t>(size)));
  }
  if (IsHandle(value)) return Variant(HandleOf(value).ref);
  if (PyBytes_Check(value.ptr()) || PyByteArray_Check(value.ptr()) ||
      PyMemoryView_Check(value.ptr())) {
    return Variant(ToByteArray(value, "a value"));
  }
  if (PyList_Check(value.ptr()) || PyTuple_Check(value.ptr())) return ToArray(value, nesting);
  NeedDateTimeApi();
  if (PyDateTime_Check(value.ptr())) return Variant(ToDateValue(value, true));
  if (PyDate_Check(value.ptr())) return Variant(ToDateValue(value, false));
  if (Py_TYPE(value.ptr()) == DecimalTypeObject() ||
      PyObject_IsInstance(value.ptr(), DecimalType().ptr()) == 1) {
    return Variant(ToDecimalValue(value));
  }
  if (ObjectRef object = WrapPersistent(value)) return Variant(std::move(object));
  Refuse(errors::kTypeMismatch,
         "a value of Python type '" + PythonTypeName(value) + "' has no automation type");
}

}  // namespace

Variant ToVariant(py::handle value) {
  return ToVariantAt(value, 0);
}

py::object FromVariant(const Variant& value) {
  switch (value.Type()) {
    case VarType::Empty:
    case VarType::Null:
      return py::none();
    case VarType::I2:
      return py::int_(*value.GetIf<std::int16_t>());
    case VarType::I4:
      return py::int_(*value.GetIf<std::int32_t>());
    case VarType::UI1:
      return py::int_(*value.GetIf<std::uint8_t>());
    case VarType::R4:
      return py::float_(*value.GetIf<float>());
    case VarType::R8:
      return py::float_(*value.GetIf<double>());
    case VarType::Cy:
      return FromCurrency(*value.GetIf<Currency>());
    case VarType::Date:
      return FromDateValue(*value.GetIf<Date>());
    case VarType::BStr: {
      const std::string& text = value.String();
      auto made = py::reinterpret_steal<py::object>(
          PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
      if (!made) throw py::error_already_set();
      return made;
    }
    case VarType::Dispatch:
      return FromObject(value.Object());
    case VarType::Error:
      return py::int_(value.GetIf<ErrorCode>()->scode);
    case VarType::Bool:
      return py::bool_(*value.GetIf<bool>());
    case VarType::Decimal:
      return FromDecimalValue(*value.GetIf<Decimal>());
    default:
      break;
  }
  if (value.IsArray()) return FromArray(value.Array());
  Refuse(errors::kTypeMismatch,
         "a value of type " + TypeName(value.Type()) + " has no Python value");
}

ObjectRef ToObject(py::handle value, const char* where) {
  if (value.is_none()) return ObjectRef();
  // A handle first, as ToVariantAt does: it is one type check, where a
  // persistent-class look-up reads the class's namespace.
  if (IsHandle(value)) return HandleOf(value).ref;
  if (ObjectRef object = WrapPersistent(value)) return object;
  Refuse(errors::kObjectRequired, std::string(where) + ": a value of Python type '" +
                                      PythonTypeName(value) + "' is no automation object");
}

py::object FromObject(const ObjectRef& object) {
  if (object.IsNull()) return py::none();
  if (const PythonObject* python = object.As<PythonObject>()) return python->self;
  return py::cast(ObjectHandle{object});
}

SafeArray ToByteArray(py::handle value, const char* where) {
  if (!PyObject_CheckBuffer(value.ptr())) {
    Refuse(errors::kTypeMismatch, std::string(where) + ": a value of Python type '" +
                                      PythonTypeName(value) + "' is no bytes-like object");
  }
  Py_buffer view;
  if (PyObject_GetBuffer(value.ptr(), &view, PyBUF_C_CONTIGUOUS) != 0) {
    throw py::error_already_set();
  }
  struct Release {
    Py_buffer* view;
    ~Release() { PyBuffer_Release(view); }
  } release{&view};
  return SafeArray::FromBytes(
      {static_cast<const std::uint8_t*>(view.buf), static_cast<std::size_t>(view.len)});
}

py::bytes FromByteArray(const SafeArray& bytes) {
  const auto span = bytes.ByteSpan();
  return py::bytes(reinterpret_cast<const char*>(span.data()), span.size());
}

// ---- replikon.Object -------------------------------------------------------------

namespace {

const MemberDescription* FindMember(const ObjectRef& object, std::string_view name,
                                    InvokeKind kind) {
  return DescribeObject(object)->Find(name, kind);
}

// Calls a method, or reads a property with index arguments, with Python values.
py::object CallMember(const ObjectRef& object, const std::string& name, InvokeKind kind,
                      py::args args) {
  std::vector<Variant> values;
  values.reserve(args.size());
  for (py::handle arg : args) values.push_back(ToVariant(arg));
  return FromVariant(InvokeByName(object, name, kind, values));
}

py::object GetMember(const ObjectHandle& self, const std::string& name) {
  const ObjectRef& object = self.ref;
  if (const MemberDescription* get = FindMember(object, name, InvokeKind::PropertyGet)) {
    if (get->Params().empty())
      return FromVariant(InvokeByName(object, name, InvokeKind::PropertyGet));
    return py::cpp_function([object, name](py::args args) {
      return CallMember(object, name, InvokeKind::PropertyGet, std::move(args));
    });
  }
  if (FindMember(object, name, InvokeKind::Function) != nullptr) {
    return py::cpp_function([object, name](py::args args) {
      return CallMember(object, name, InvokeKind::Function, std::move(args));
    });
  }
  throw py::attribute_error("'" + ClassNameOf(object) + "' object has no readable member '" + name +
                            "'");
}

void SetMember(const ObjectHandle& self, const std::string& name, py::handle value) {
  const ObjectRef& object = self.ref;
  const MemberDescription* let = FindMember(object, name, InvokeKind::PropertyPut);
  const MemberDescription* set = FindMember(object, name, InvokeKind::PropertyPutRef);
  if (let == nullptr && set == nullptr) {
    throw py::attribute_error("'" + ClassNameOf(object) + "' object has no writable member '" +
                              name + "'");
  }
  // An object, or None for a member that takes objects, is assigned by
  // reference; anything else by value.
  const bool is_object = py::isinstance<ObjectHandle>(value);
  if (set != nullptr && (is_object || (value.is_none() && let == nullptr))) {
    const Variant argument(ToObject(value, name.c_str()));
    InvokeByName(object, name, InvokeKind::PropertyPutRef, {&argument, 1});
    return;
  }
  if (set != nullptr && value.is_none() && let != nullptr &&
      FindMember(object, name, InvokeKind::PropertyGet) != nullptr &&
      InvokeByName(object, name, InvokeKind::PropertyGet).IsObject()) {
    const Variant argument{ObjectRef()};
    InvokeByName(object, name, InvokeKind::PropertyPutRef, {&argument, 1});
    return;
  }
  if (let == nullptr) {
    Refuse(errors::kObjectRequired,
           "'" + name + "' of '" + ClassNameOf(object) + "' takes only objects");
  }
  Variant argument = ToVariant(value);
  // A list for a member that holds an array of one type: the array of that
  // type, each element converted as an element assignment converts it.
  const VarType declared = let->PropertyType().VarType();
  if (argument.IsArray() && IsArrayType(declared) && argument.Array().Type() != declared) {
    const SafeArray& given = argument.Array();
    SafeArray typed(ElementTypeOf(declared), given.Bounds());
    for (std::size_t i = 0; i < given.Count(); ++i) {
      try {
        typed.SetFlat(i, given.GetFlat(i));
      } catch (const AutomationError& e) {
        // The list is refused as a whole: say which member and element.
        std::vector<std::string> details{"'" + name + "' of '" + ClassNameOf(object) +
                                         "' holds an array of " +
                                         TypeName(ElementTypeOf(declared)) + ": element " +
                                         std::to_string(i) + " of the list does not convert"};
        details.insert(details.end(), e.DetailList().begin(), e.DetailList().end());
        throw AutomationError(e.Number(), e.Description(), e.HelpFile(), e.HelpContext(),
                              e.Source(), std::move(details));
      }
    }
    argument = Variant(std::move(typed));
  }
  InvokeByName(object, name, InvokeKind::PropertyPut, {&argument, 1});
}

}  // namespace

void BindObject(py::module_& m) {
  py::class_<ObjectHandle> handle(
      m, "Object", "An automation object: members are read, written and called by name.");
  g_handle_type = reinterpret_cast<PyTypeObject*>(handle.ptr());
  handle.def("__getattr__", &GetMember)
      .def("__setattr__", &SetMember)
      .def("__dir__",
           [](const ObjectHandle& self) {
             py::list names;
             for (const MemberDescription& member : DescribeObject(self.ref)->Members()) {
               if (member.Hidden()) continue;
               py::str name(member.Name());
               if (!names.contains(name)) names.append(name);
             }
             return names;
           })
      .def("__eq__",
           [](const ObjectHandle& self, py::handle other) {
             return py::isinstance<ObjectHandle>(other) &&
                    other.cast<const ObjectHandle&>().ref == self.ref;
           })
      .def("__hash__",
           [](const ObjectHandle& self) { return std::hash<const void*>{}(self.ref.get()); })
      .def("__repr__", [](const ObjectHandle& self) {
        return "<replikon.Object " + ClassNameOf(self.ref) + ">";
      });
}

}  // namespace replikon::python
