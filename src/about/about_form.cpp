#include "about/about_form.hpp"

#include <algorithm>
#include <array>

#include "replikon/version.hpp"

namespace replikon::about {
namespace {

constexpr int kMargin = 10;
constexpr int kInner = kFormWidth - 2 * kMargin;
constexpr int kCheckSize = TwipsToPixels(645);
constexpr int kLogoSize = 64;
constexpr int kRow = 18;
constexpr int kButtonWidth = 88;
constexpr int kButtonHeight = 28;

constexpr FormControl Control(std::string_view name, int index, ControlKind kind,
                              std::string_view text, Bounds bounds, std::string_view address = {}) {
  return FormControl{name, index, kind, text, bounds, address};
}

constexpr std::array kControls = {
    Control("Check1", -1, ControlKind::CheckBox, "", {kMargin, kMargin, kCheckSize, kCheckSize}),
    Control("lblTitle", -1, ControlKind::Label, "Replikon", {64, 10, 300, 26}),
    Control("lblVersion", -1, ControlKind::Label, kVersionCaption, {64, 36, 300, kRow}),
    Control("imgOrvel", -1, ControlKind::Picture, "",
            {kFormWidth - kMargin - kLogoSize, kMargin, kLogoSize, kLogoSize}, kSiteAddress),
    Control("Line1", 0, ControlKind::Line, "", {kMargin, 84, kInner, 2}),
    Control("lblDisclaimer", -1, ControlKind::Label, kDisclaimer, {kMargin, 94, kInner, 40}),
    Control("Label6", -1, ControlKind::Label, "You can visit us at ", {kMargin, 144, 112, kRow}),
    Control("lblSite", -1, ControlKind::LinkLabel, kSiteAddress, {122, 144, 220, kRow},
            kSiteAddress),
    Control("Label7", -1, ControlKind::Label,
            "If you want to contact us (e.g. if have found a bug in this control, or have some",
            {kMargin, 172, kInner, kRow}),
    Control("Label1", -1, ControlKind::Label, "suggestions), please visit",
            {kMargin, 190, 150, kRow}),
    Control("lblContact", -1, ControlKind::LinkLabel, kContactAddress, {160, 190, 260, kRow},
            kContactAddress),
    Control("Line1", 1, ControlKind::Line, "", {kMargin, 222, kInner, 2}),
    Control("cmdOK", -1, ControlKind::CommandButton, "OK",
            {kFormWidth - kMargin - kButtonWidth, 234, kButtonWidth, kButtonHeight}),
};

// Characters that a POSIX shell takes literally in a word.
bool ShellSafe(char c) noexcept {
  if (c >= 'a' && c <= 'z') return true;
  if (c >= 'A' && c <= 'Z') return true;
  if (c >= '0' && c <= '9') return true;
  return std::string_view("%+,-./:=@_").find(c) != std::string_view::npos;
}

}  // namespace

std::span<const FormControl> FormControls() noexcept {
  return kControls;
}

const FormControl* FindControl(std::string_view name, int index) noexcept {
  const auto it = std::find_if(kControls.begin(), kControls.end(), [&](const FormControl& c) {
    return c.name == name && c.index == index;
  });
  return it == kControls.end() ? nullptr : &*it;
}

std::string VersionText(int major, int minor) {
  return "Version " + std::to_string(major) + "." + std::to_string(minor);
}

std::string LoadedVersionText() {
  return VersionText(kVersionMajor, kVersionMinor);
}

std::string OpenerCommandLine(std::string_view address) {
  std::string line = "xdg-open ";
  if (!address.empty() && std::all_of(address.begin(), address.end(), ShellSafe)) {
    line += address;
    return line;
  }
  // Single quotes keep everything literal; a quote itself becomes '\''.
  line += '\'';
  for (const char c : address) {
    if (c == '\'') {
      line += "'\\''";
    } else {
      line += c;
    }
  }
  line += '\'';
  return line;
}

}  // namespace replikon::about
