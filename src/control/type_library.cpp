// The component's type library and its table.
#include "replikon/control/type_library.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "automation/invoke_kind_text.hpp"
#include "replikon/automation/variant.hpp"
#include "replikon/control/component_object.hpp"
#include "replikon/control/errors.hpp"
#include "replikon/settings.hpp"
#include "replikon/version.hpp"

namespace replikon {

namespace {

constexpr std::uint32_t kLocaleEnglishUnitedStates = 1033;

TypeLibraryDescription BuildReplikonTypeLibrary() {
  TypeLibraryDescription lib;
  lib.name = "ReplikonCtl";
  lib.major_version = static_cast<std::uint16_t>(kVersionMajor);
  lib.minor_version = static_cast<std::uint16_t>(kVersionMinor);
  lib.locale = kLocaleEnglishUnitedStates;
  lib.help_file = kHelpFile;

  TypeDescriptionEntry cls;
  cls.name = "Replikon";
  cls.kind = TypeKind::Class;
  cls.flags = TypeFlags::Control;  // placed by a container, not created by name
  cls.default_interface = "_Replikon";
  cls.default_source_interface = "__Replikon";
  lib.types.push_back(std::move(cls));

  TypeDescriptionEntry face;
  face.name = "_Replikon";
  face.kind = TypeKind::Dispatch;
  face.flags = TypeFlags::Hidden | TypeFlags::Dual | TypeFlags::NonExtensible |
               TypeFlags::AutomationCompatible;
  face.members = ReplikonClass()->Interface();
  lib.types.push_back(std::move(face));

  TypeDescriptionEntry events;
  events.name = "__Replikon";
  events.kind = TypeKind::Dispatch;
  events.flags = TypeFlags::Hidden | TypeFlags::NonExtensible;
  events.members = ReplikonEvents();
  lib.types.push_back(std::move(events));

  TypeDescriptionEntry constants;
  constants.name = "ProblemsNotificationConstants";
  constants.kind = TypeKind::Enumeration;
  constants.constants = {
      {"SourceObjectOnly",
       static_cast<std::int32_t>(ProblemsNotificationConstants::SourceObjectOnly),
       "SourceObjectOnly"},
      {"OnSubobjectProblem",
       static_cast<std::int32_t>(ProblemsNotificationConstants::OnSubobjectProblem),
       "OnSubobjectProblem"}};
  lib.types.push_back(std::move(constants));
  return lib;
}

// ---- The table ---------------------------------------------------------------

const char* KindText(const TypeDescriptionEntry& type) {
  switch (type.kind) {
    case TypeKind::Enumeration:
      return "enumeration";
    case TypeKind::Interface:
      return "interface";
    case TypeKind::Dispatch:
      return HasFlag(type.flags, TypeFlags::Dual) ? "dual interface" : "dispatch interface";
    case TypeKind::Class:
      return "class";
  }
  return "type";
}

std::string FlagsText(TypeFlags flags) {
  static constexpr std::array<std::pair<TypeFlags, const char*>, 6> kNames{{
      {TypeFlags::Control, "control"},
      {TypeFlags::CanCreate, "creatable"},
      {TypeFlags::Hidden, "hidden"},
      {TypeFlags::Dual, "dual"},
      {TypeFlags::NonExtensible, "nonextensible"},
      {TypeFlags::AutomationCompatible, "automation-compatible"},
  }};
  std::string text;
  for (const auto& [flag, name] : kNames) {
    if (!HasFlag(flags, flag)) continue;
    if (!text.empty()) text += ", ";
    text += name;
  }
  return text;
}

// An identifier as the platform's tools show it: hexadecimal, or in decimal
// when negative (the standard identifiers).
std::string IdText(DispId id) {
  if (id < 0) return std::to_string(id);
  std::array<char, 16> buffer{};
  std::snprintf(buffer.data(), buffer.size(), "0x%08X", static_cast<unsigned>(id));
  return buffer.data();
}

std::string TypeText(const TypeDescription& type) {
  if (!type.UserType().empty()) return type.UserType();
  return type.VarType() == VarType::Empty ? std::string() : TypeName(type.VarType());
}

std::string ParamsText(std::span<const ParamDescription> params) {
  std::string text;
  for (const ParamDescription& p : params) {
    if (!text.empty()) text += ", ";
    if (p.optional) text += "Optional ";
    text += p.by_ref ? "ByRef " : "ByVal ";
    text += p.name;
    text += " As ";
    text += TypeName(p.type);
  }
  return text;
}

// Rows of cells, each column padded to its widest cell; the last column is
// not padded, and trailing blanks are dropped.
void AppendTable(std::string& out, const std::vector<std::vector<std::string>>& rows,
                 std::string_view indent) {
  std::vector<std::size_t> widths;
  for (const auto& row : rows) {
    widths.resize(std::max(widths.size(), row.size()), 0);
    for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  }
  for (const auto& row : rows) {
    std::string line(indent);
    for (std::size_t i = 0; i < row.size(); ++i) {
      line += row[i];
      if (i + 1 < row.size()) line.append(widths[i] - row[i].size() + 2, ' ');
    }
    line.erase(line.find_last_not_of(' ') + 1);
    out += line;
    out += '\n';
  }
}

void AppendMembers(std::string& out, const InterfaceDescription& iface) {
  std::vector<std::vector<std::string>> rows;
  rows.push_back({"id", "kind", "name", "parameters", "type", "context", "help"});
  for (const MemberDescription& m : iface.Members()) {
    rows.push_back({IdText(m.MemberId()), detail::InvokeKindText(m.InvokeKind()), m.Name(),
                    ParamsText(m.Params()), TypeText(m.PropertyType()),
                    m.HelpContext() != 0 ? std::to_string(m.HelpContext()) : std::string(),
                    m.HelpString()});
  }
  AppendTable(out, rows, "  ");
}

}  // namespace

const TypeDescriptionEntry* TypeLibraryDescription::Find(
    std::string_view type_name) const noexcept {
  for (const TypeDescriptionEntry& t : types) {
    if (t.name == type_name) return &t;
  }
  return nullptr;
}

const TypeLibraryDescription& ReplikonTypeLibrary() {
  static const TypeLibraryDescription library = BuildReplikonTypeLibrary();
  return library;
}

std::string FormatTypeLibrary(const TypeLibraryDescription& library) {
  std::string out = "library " + library.name + " " + std::to_string(library.major_version) + "." +
                    std::to_string(library.minor_version) + ", locale " +
                    std::to_string(library.locale);
  if (!library.help_file.empty()) out += ", help file " + library.help_file;
  out += '\n';
  for (const TypeDescriptionEntry& type : library.types) {
    out += '\n';
    out += KindText(type);
    out += ' ';
    out += type.name;
    const std::string flags = FlagsText(type.flags);
    if (!flags.empty()) out += " [" + flags + "]";
    out += '\n';
    if (!type.default_interface.empty()) {
      out += "  default interface " + type.default_interface + '\n';
    }
    if (!type.default_source_interface.empty()) {
      out += "  default source interface " + type.default_source_interface + '\n';
    }
    if (type.members != nullptr) AppendMembers(out, *type.members);
    if (!type.constants.empty()) {
      std::vector<std::vector<std::string>> rows;
      rows.push_back({"value", "name", "help"});
      for (const EnumMember& c : type.constants) {
        rows.push_back({std::to_string(c.value), c.name, c.help_string});
      }
      AppendTable(out, rows, "  ");
    }
  }
  return out;
}

}  // namespace replikon
