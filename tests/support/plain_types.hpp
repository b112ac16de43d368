// A class with a member of each plain automation type, for the tests of what
// reads, writes and describes members: I2, I4, R4, R8, Cy, Date, Text, Error,
// Flag, Dec, Byte, plus Any (a Variant), Other (an object) and Longs (an
// array of Long). A test's class may add members of its own by deriving.
#pragma once

#include <cstdint>
#include <string>

#include "replikon/server.hpp"

namespace replikon::test_support {

struct PlainTypes {
  std::int16_t i2 = 0;
  std::int32_t i4 = 0;
  float r4 = 0.0F;
  double r8 = 0.0;
  Currency cy;
  Date date;
  std::string text;
  ErrorCode error;
  bool flag = false;
  Decimal dec;
  std::uint8_t byte = 0;
  Variant any;
  ObjectRef other;
  SafeArray longs{VarType::I4};

  // Gives every plain member a value unlike its initial one (a text that
  // lives outside the small-string buffer and holds a NUL).
  void Fill() {
    i2 = -12;
    i4 = -123456789;
    r4 = 1.5F;
    r8 = -2.25;
    cy = Currency{-123456};
    date = Date{45000.75};
    text = std::string("a text longer than the small-string buffer \0 with a NUL", 56);
    error = ErrorCode{-2147352573};
    flag = true;
    dec.scale = 3;
    dec.negative = true;
    dec.lo = 987654321;
    byte = 250;
  }
};

// Adds the members above to the class of `T` (PlainTypes or derived from it).
template <class T>
ClassBuilder<T>& AddPlainMembers(ClassBuilder<T>& b) {
  return b.template Property<std::int16_t>("I2", &PlainTypes::i2)
      .template Property<std::int32_t>("I4", &PlainTypes::i4)
      .template Property<float>("R4", &PlainTypes::r4)
      .template Property<double>("R8", &PlainTypes::r8)
      .template Property<Currency>("Cy", &PlainTypes::cy)
      .template Property<Date>("Date", &PlainTypes::date)
      .template Property<std::string>("Text", &PlainTypes::text)
      .template Property<ErrorCode>("Error", &PlainTypes::error)
      .template Property<bool>("Flag", &PlainTypes::flag)
      .template Property<Decimal>("Dec", &PlainTypes::dec)
      .template Property<std::uint8_t>("Byte", &PlainTypes::byte)
      .template Property<Variant>("Any", &PlainTypes::any)
      .template Property<ObjectRef>("Other", &PlainTypes::other)
      .ArrayProperty("Longs", &PlainTypes::longs, VarType::I4);
}

}  // namespace replikon::test_support
