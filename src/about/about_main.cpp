// replikon-about: shows Replikon's About box and exits when it is closed.
//
// ShowAboutBox runs this program and waits for it, so that a missing or broken
// display can only end this process, never the host's. The options exist for
// tests and screenshots.
#include <FL/Fl.H>

#include <cstdarg>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <string_view>

#include "about/about_window.hpp"

namespace {

constexpr int kExitUsage = 64;
constexpr int kExitNoDisplay = 69;

constexpr std::string_view kUsage =
    "usage: replikon-about [--test-click-ok] [--report FILE] [--print-layout]\n"
    "  Shows the About box until it is closed.\n"
    "  --test-click-ok  click OK shortly after the window appears\n"
    "  --report FILE    write \"shown CAPTION\" and \"closed\" lines to FILE\n"
    "  --print-layout   print each control's name, index and bounds once shown\n";

struct Options {
  bool click_ok = false;
  bool print_layout = false;
  std::string report;
};

// FLTK ends the process through Fl::fatal when, for one, the display cannot be
// opened; do so quietly with an exit status of our own.
[[noreturn]] void QuietFatal(const char* /*format*/, ...) {
  std::_Exit(kExitNoDisplay);
}
void QuietWarning(const char* /*format*/, ...) {}

void Report(const std::string& path, const std::string& line) {
  if (path.empty()) return;
  std::ofstream out(path, std::ios::app);
  out << line << '\n';
}

void ClickOk(void* form) {
  static_cast<replikon::about::AboutWindow*>(form)->Click("cmdOK");
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--test-click-ok") {
      options.click_ok = true;
    } else if (arg == "--print-layout") {
      options.print_layout = true;
    } else if (arg == "--report" && i + 1 < argc) {
      options.report = argv[++i];
    } else if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    } else {
      std::cerr << kUsage;
      return kExitUsage;
    }
  }

  Fl::fatal = QuietFatal;
  Fl::warning = QuietWarning;
  Fl::error = QuietWarning;
  Fl::scheme("gtk+");

  try {
    replikon::about::AboutWindow form;
    form.Show();
    Report(options.report, "shown " + form.Caption());
    if (options.print_layout) {
      for (const auto& item : replikon::about::FormControls()) {
        const auto b = form.LiveBounds(item.name, item.index);
        if (!b) continue;
        std::cout << item.name << ' ' << item.index << ' ' << b->x << ' ' << b->y << ' ' << b->width
                  << ' ' << b->height << '\n';
      }
      std::cout.flush();
    }
    if (options.click_ok) Fl::add_timeout(0.3, ClickOk, &form);
    form.ShowModal();
    Report(options.report, "closed");
  } catch (const std::exception& e) {
    std::cerr << "replikon-about: " << e.what() << '\n';
    return 1;
  }
  return 0;
}
