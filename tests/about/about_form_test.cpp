// The About form: its texts and layout, its handlers (through the command
// starter seam, no display needed), the detached shell start, and the real
// window on a virtual display.
#include <FL/Fl.H>
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "about/about_form.hpp"
#include "about/about_window.hpp"
#include "about/pictures.hpp"
#include "about/shell_command.hpp"
#include "replikon/version.hpp"
#include "test_support.hpp"

namespace replikon::about {
namespace {

using namespace std::chrono_literals;

TEST(AboutFormModel, VersionAndOpenerCommandLine) {
  EXPECT_EQ(VersionText(12, 305), "Version 12.305");
  EXPECT_EQ(std::to_string(kVersionMajor) + "." + std::to_string(kVersionMinor) + "." +
                std::to_string(kVersionPatch),
            kVersionString);
  // Anything the shell would act on is quoted, quotes included.
  EXPECT_EQ(OpenerCommandLine("http://x/?a=1&b=2"), "xdg-open 'http://x/?a=1&b=2'");
  EXPECT_EQ(OpenerCommandLine("it's; rm -rf ~"), "xdg-open 'it'\\''s; rm -rf ~'");
  EXPECT_EQ(OpenerCommandLine(""), "xdg-open ''");
}

TEST(AboutFormPictures, LogoIsOpaqueInsideAndClearAtTheCorners) {
  for (const int size : {1, 28, 64}) {
    const Picture p = RenderLogo(size);
    ASSERT_EQ(std::tuple(p.width, p.height, p.rgba.size()),
              std::tuple(size, size, static_cast<std::size_t>(size * size * 4)));
  }
  const Picture p = RenderLogo(64);
  const auto alpha = [&](int x, int y) {
    return p.rgba[static_cast<std::size_t>(y * 64 + x) * 4 + 3];
  };
  EXPECT_EQ(alpha(0, 0), 0);
  EXPECT_EQ(alpha(63, 63), 0);
  EXPECT_EQ(alpha(32, 32), 255);
  EXPECT_EQ(RenderLogo(0).width, 1);
}

// Every control of the form with its kind and text, inside the form and clear
// of the others, and the widget made of it. Only links and pictures have an
// address: the one they open (below).
TEST(AboutForm, ControlsWithTheirKindsTextsAndPlacesAreTheWidgets) {
  EXPECT_EQ(kFormName, "Opisnica");
  using K = ControlKind;
  struct Want {
    std::string_view name;
    int index;
    ControlKind kind;
    std::string_view text;
  };
  const Want want[] = {
      {"Check1", -1, K::CheckBox, ""},
      {"lblTitle", -1, K::Label, "Replikon"},
      {"lblVersion", -1, K::Label, "Version"},
      {"imgOrvel", -1, K::Picture, ""},
      {"Line1", 0, K::Line, ""},
      {"lblDisclaimer", -1, K::Label, kDisclaimer},
      {"Label6", -1, K::Label, "You can visit us at "},
      {"lblSite", -1, K::LinkLabel, "https://replikon.example.org/"},
      {"Label7", -1, K::Label,
       "If you want to contact us (e.g. if have found a bug in this control, or have some"},
      {"Label1", -1, K::Label, "suggestions), please visit"},
      {"lblContact", -1, K::LinkLabel, "https://replikon.example.org/contact"},
      {"Line1", 1, K::Line, ""},
      {"cmdOK", -1, K::CommandButton, "OK"},
  };
  const auto controls = FormControls();
  ASSERT_EQ(controls.size(), std::size(want));
  for (std::size_t i = 0; i < controls.size(); ++i) {
    const Bounds& a = controls[i].bounds;
    const bool inside = a.x >= 0 && a.y >= 0 && a.width > 0 && a.height > 0 &&
                        a.x + a.width <= kFormWidth && a.y + a.height <= kFormHeight;
    EXPECT_TRUE(inside) << controls[i].name << " is not inside the form";
    for (std::size_t j = i + 1; j < controls.size(); ++j) {
      const Bounds& b = controls[j].bounds;
      const bool apart = a.x + a.width <= b.x || b.x + b.width <= a.x || a.y + a.height <= b.y ||
                         b.y + b.height <= a.y;
      EXPECT_TRUE(apart) << controls[i].name << " overlaps " << controls[j].name;
    }
  }
  const Bounds check = FindControl("Check1")->bounds;
  EXPECT_EQ(std::tie(check.width, check.height), std::tuple(43, 43));  // 645 twips
  EXPECT_LE(check.x, 12);
  EXPECT_LE(check.y, 12);
  EXPECT_EQ(FindControl("Line1"), nullptr) << "Line1 is a control array";
  AboutWindow form;
  EXPECT_EQ(form.Caption(), "About Replikon");
  for (const Want& w : want) {
    const FormControl* item = FindControl(w.name, w.index);
    ASSERT_NE(item, nullptr) << w.name;
    EXPECT_EQ(item->kind, w.kind) << w.name;
    EXPECT_EQ(item->text, w.text) << w.name;
    EXPECT_EQ(item->address.empty(), w.kind != K::LinkLabel && w.kind != K::Picture) << w.name;
    EXPECT_EQ(form.Text(w.name, w.index), w.text) << w.name;
    EXPECT_EQ(form.LiveBounds(w.name, w.index), item->bounds) << w.name;
  }
  EXPECT_EQ(form.Text("nothing"), "");
  EXPECT_FALSE(form.LiveBounds("nothing").has_value());
}

// Loading shows the version and OK unloads, which puts it back. What each link
// starts is checked with real clicks (real_clicks.sh): the other controls start
// nothing and leave the box open, and an opener that fails is ignored.
TEST(AboutForm, ClicksOnlyOpenLinksAndOkUnloads) {
  std::vector<std::string> started;
  AboutWindow form([&](const std::string& line) { started.push_back(line); });
  EXPECT_EQ(form.Text("lblVersion"), "Version");
  form.Load();
  EXPECT_EQ(form.Text("lblVersion"), "Version 1.0");
  for (const char* name : {"lblTitle", "lblVersion", "lblDisclaimer", "Label6", "Label7", "Label1",
                           "Check1", "nothing"}) {
    form.Click(name);
  }
  form.Click("Line1", 0);
  EXPECT_TRUE(started.empty());
  EXPECT_TRUE(form.IsLoaded());
  form.Click("cmdOK");
  EXPECT_FALSE(form.IsLoaded());
  EXPECT_FALSE(form.IsShown());
  EXPECT_EQ(form.Text("lblVersion"), "Version");

  AboutWindow failing([](const std::string&) { throw std::runtime_error("no shell"); });
  failing.Load();
  EXPECT_NO_THROW(failing.Click("lblSite"));
  EXPECT_NO_THROW(failing.Click("lblContact"));
  AboutWindow without_starter(CommandStarter{});
  EXPECT_NO_THROW(without_starter.Click("imgOrvel"));
}

// --- StartShellCommand ---------------------------------------------------

using test_support::TempDir;

bool WaitFor(const std::filesystem::path& file, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (std::filesystem::exists(file)) return true;
    std::this_thread::sleep_for(10ms);
  }
  return std::filesystem::exists(file);
}

// The pids of this process's children, from every thread's list.
std::vector<std::string> Children() {
  std::vector<std::string> children;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream in(task.path() / "children");
    std::string pid;
    while (in >> pid) children.push_back(pid);
  }
  return children;
}

TEST(StartShellCommand, RunsDetachedWithoutLeavingAChildAndIgnoresFailures) {
  TempDir dir;
  const auto marker = dir.path() / "ran";
  const auto start = std::chrono::steady_clock::now();
  StartShellCommand("sleep 1; touch '" + marker.string() + "'");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 900ms) << "must not wait for the command";
  EXPECT_TRUE(Children().empty()) << "the command belongs to init, not to the caller";
  errno = 0;
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
  EXPECT_TRUE(WaitFor(marker, 10s));
  // A command that cannot start is ignored.
  EXPECT_NO_THROW(StartShellCommand("replikon-no-such-program https://replikon.example.org/"));
  EXPECT_NO_THROW(StartShellCommand("syntax error ( ("));
  EXPECT_TRUE(Children().empty());
}

// --- The real window (run under a virtual display by CTest) ----------------

bool OnTestDisplay() {
  const char* flag = std::getenv("REPLIKON_TEST_XVFB");
  const char* display = std::getenv("DISPLAY");
  return flag != nullptr && *flag == '1' && display != nullptr && *display != '\0';
}

TEST(AboutBoxOnDisplay, LinksSitRightAfterTheirLeadsOnceShown) {
  if (!OnTestDisplay()) GTEST_SKIP() << "needs the virtual display that CTest starts";
  AboutWindow form;
  form.Show();
  for (const auto& [lead, link] :
       {std::pair{"Label6", "lblSite"}, std::pair{"Label1", "lblContact"}}) {
    const Bounds l = *form.LiveBounds(lead);
    const Bounds k = *form.LiveBounds(link);
    EXPECT_EQ(k.y, l.y) << link;
    EXPECT_GE(k.x, l.x + l.width - 6) << link;
    EXPECT_LE(k.x, l.x + l.width + 6) << link;
    EXPECT_LE(k.x + k.width, kFormWidth) << link;
  }
  form.Unload();
  EXPECT_FALSE(form.IsShown());
}

}  // namespace
}  // namespace replikon::about
