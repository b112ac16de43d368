// The About form `Opisnica`, described without any window toolkit: its caption,
// its controls with their kinds, texts and places, the addresses behind its
// links and the command line that opens them.
#pragma once

#include "replikon/detail/layer_about.hpp"

#include <span>
#include <string>
#include <string_view>

namespace replikon::about {

enum class ControlKind {
  Label,          // static text
  LinkLabel,      // text that opens an address when clicked
  Picture,        // picture; imgOrvel opens an address when clicked
  CommandButton,  // push button
  Line,           // separator line
  CheckBox,       // graphical check box (a picture on a toggle button)
};

// A rectangle in pixels, relative to the form's client area.
struct Bounds {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;

  friend bool operator==(const Bounds&, const Bounds&) = default;
};

struct FormControl {
  std::string_view name;
  int index = -1;  // position in a control array (Line1), -1 for a single control
  ControlKind kind = ControlKind::Label;
  std::string_view text;     // the text shown when the form opens
  Bounds bounds;             // where the control sits
  std::string_view address;  // what a click opens; empty when a click opens nothing
};

inline constexpr std::string_view kFormName = "Opisnica";
inline constexpr std::string_view kCaption = "About Replikon";
inline constexpr std::string_view kSiteAddress = "https://replikon.example.org/";
inline constexpr std::string_view kContactAddress = "https://replikon.example.org/contact";
inline constexpr std::string_view kDisclaimer =
    "Replikon is provided \"as is\", without warranty of any kind, express or implied. In no "
    "event shall the authors be liable for any damage arising from its use.";
// The text of lblVersion until the form loads.
inline constexpr std::string_view kVersionCaption = "Version";

inline constexpr int kFormWidth = 540;
inline constexpr int kFormHeight = 272;

// 1 twip is 1/1440 inch: 15 twips to a pixel at 96 dpi.
constexpr int TwipsToPixels(int twips) noexcept {
  return twips / 15;
}

// The form's controls, in tab order.
std::span<const FormControl> FormControls() noexcept;

// The control with that name and index, or nullptr.
const FormControl* FindControl(std::string_view name, int index = -1) noexcept;

// "Version " followed by major "." minor, both in decimal without leading zeros.
std::string VersionText(int major, int minor);

// The text lblVersion shows once the form has loaded: VersionText of this build's version.
std::string LoadedVersionText();

// The command line that opens an address: "xdg-open", one blank, and the address.
// An address holding characters that the shell would interpret is quoted for it.
std::string OpenerCommandLine(std::string_view address);

}  // namespace replikon::about
