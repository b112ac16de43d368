// AboutWindow: the About form as a window, built with FLTK. The toolkit stays behind
// this interface, so users of the form need no FLTK headers.
#pragma once

#include "replikon/detail/layer_about.hpp"

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "about/about_form.hpp"
#include "about/shell_command.hpp"

namespace replikon::about {

// The About form with the controls of FormControls(). Making one needs no
// display; showing it does, and without one FLTK ends the process (which is
// why ShowAboutBox shows it from the separate program replikon-about).
// A link or imgOrvel click hands OpenerCommandLine(address) to the command
// starter; cmdOK, the window's close button and Escape unload the form. Event
// handlers never throw: a failing step is skipped.
class AboutWindow {
 public:
  explicit AboutWindow(CommandStarter starter = StartShellCommand);
  ~AboutWindow();
  AboutWindow(const AboutWindow&) = delete;
  AboutWindow& operator=(const AboutWindow&) = delete;

  // The form's load step: lblVersion changes from "Version" to the version text.
  // Showing an unloaded form loads it first.
  void Load();
  bool IsLoaded() const noexcept;

  // Shows the window; opens the display on first use.
  void Show();
  bool IsShown() const noexcept;

  // Shows the window and handles events until the form is unloaded.
  void ShowModal();

  // Hides the window and puts the form back in its state before loading.
  void Unload();

  // Does what a mouse click on the control does; unknown names do nothing.
  void Click(std::string_view name, int index = -1);

  std::string Caption() const;
  // The control's current text; "" for pictures, lines and unknown names.
  std::string Text(std::string_view name, int index = -1) const;
  // Where the control is now. Showing the window fits the link labels to
  // their measured texts, so links may move a little from FormControls().
  std::optional<Bounds> LiveBounds(std::string_view name, int index = -1) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace replikon::about
