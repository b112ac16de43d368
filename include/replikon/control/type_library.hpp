// The component's type library: what a host that knows nothing of the
// component at compile time learns of it (its class, its two interfaces and
// its enumeration), and a readable table of it.
#pragma once

#include "replikon/detail/layer_control.hpp"

#include "replikon/export.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "replikon/automation/type_info.hpp"

namespace replikon {

// The kind of a type, with the platform's TYPEKIND codes.
enum class TypeKind : std::uint8_t {
  Enumeration = 0,
  Interface = 3,  // a vtable interface
  Dispatch = 4,   // a dispatch interface (with the Dual flag: a dual interface)
  Class = 5,      // a creatable class of objects (coclass)
};

// The flags of a type, with the platform's TYPEFLAGS bits.
enum class TypeFlags : std::uint16_t {
  None = 0,
  CanCreate = 0x2,
  Hidden = 0x10,
  Control = 0x20,
  Dual = 0x40,
  NonExtensible = 0x80,
  AutomationCompatible = 0x100,
};
constexpr TypeFlags operator|(TypeFlags a, TypeFlags b) noexcept {
  return static_cast<TypeFlags>(static_cast<std::uint16_t>(a) | static_cast<std::uint16_t>(b));
}
constexpr bool HasFlag(TypeFlags flags, TypeFlags flag) noexcept {
  return (static_cast<std::uint16_t>(flags) & static_cast<std::uint16_t>(flag)) != 0;
}

// One constant of an enumeration.
struct REPLIKON_API EnumMember {
  std::string name;
  std::int32_t value = 0;
  std::string help_string;
};

// One type of a library. What a kind does not use stays empty.
struct REPLIKON_API TypeDescriptionEntry {
  std::string name;
  TypeKind kind = TypeKind::Dispatch;
  TypeFlags flags = TypeFlags::None;
  // Class: its default interface and its default source (event) interface.
  std::string default_interface;
  std::string default_source_interface;
  // Interface or dispatch interface: its members.
  std::shared_ptr<const InterfaceDescription> members;
  // Enumeration: its constants.
  std::vector<EnumMember> constants;
};

struct REPLIKON_API TypeLibraryDescription {
  std::string name;
  std::uint16_t major_version = 0;
  std::uint16_t minor_version = 0;
  std::uint32_t locale = 0;  // the locale identifier (1033: English, United States)
  std::string help_file;
  std::vector<TypeDescriptionEntry> types;

  // The type with this name (exact), or nullptr.
  const TypeDescriptionEntry* Find(std::string_view type_name) const noexcept;
};

// The component's library "ReplikonCtl" 1.0 (locale 1033, help file
// "replictl.hlp"): the class Replikon, its dual interface _Replikon (the
// members that AsObject's objects have), its event interface __Replikon and
// the enumeration ProblemsNotificationConstants.
REPLIKON_API const TypeLibraryDescription& ReplikonTypeLibrary();

// The library as a readable plain-text table: a heading with its version,
// locale and help file, then each type with its kind and flags, and for an
// interface one line per member (identifier in hexadecimal, invoke kind, name,
// parameters, type, help context and help string), for an enumeration one line
// per constant.
REPLIKON_API std::string FormatTypeLibrary(const TypeLibraryDescription& library);

}  // namespace replikon
