// ShowAboutBox: finding the About program, running it modally, and coming back
// unharmed whatever happens to it.
#include "replikon/about/about_box.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "test_support.hpp"

namespace replikon::about {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

using test_support::ScopedEnv;

// Writes an executable shell script at `path` and returns the path.
fs::path WriteScript(const fs::path& path, const std::string& body) {
  std::ofstream(path) << "#!/bin/sh\n" << body << '\n';
  chmod(path.c_str(), 0755);
  return path;
}

std::string Read(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class AboutBoxTest : public ::testing::Test {
 protected:
  fs::path Script(const std::string& name, const std::string& body) const {
    return WriteScript(dir_ / name, body);
  }

  // Whether ShowAboutBox runs programs in this build.
  static bool Built() {
    const ScopedEnv program("REPLIKON_ABOUT_PROGRAM", "/probe");
    return !AboutProgramPath().empty();
  }

  test_support::TempDir temp_;
  const fs::path dir_ = temp_.path();
};

// Without a display nothing is started; a program that is missing or fails
// is passed over.
TEST_F(AboutBoxTest, WithoutDisplayStartsNothingAndMissingOrBrokenProgramsAreIgnored) {
  const fs::path marker = dir_ / "started";
  const ScopedEnv program("REPLIKON_ABOUT_PROGRAM",
                          Script("about", "touch '" + marker.string() + "'"));
  for (const std::optional<std::string>& display :
       {std::optional<std::string>{}, std::optional<std::string>{""}}) {
    const ScopedEnv no_display("DISPLAY", display);
    ShowAboutBox();
  }
  EXPECT_FALSE(fs::exists(marker));

  const ScopedEnv display("DISPLAY", ":98765");
  std::ofstream(dir_ / "not-executable") << "#!/bin/sh\n";
  for (const fs::path& path : {dir_ / "missing", dir_ / "not-executable", Script("fails", "exit 3"),
                               Script("crashes", "kill -SEGV $$")}) {
    const ScopedEnv program("REPLIKON_ABOUT_PROGRAM", path.string());
    ShowAboutBox();
  }
}

// Also when the host ignores SIGCHLD, which makes the child reap itself.
TEST_F(AboutBoxTest, WaitsUntilTheWindowProgramHasEnded) {
  if (!Built()) GTEST_SKIP() << "the About box is left out of this build";
  const fs::path marker = dir_ / "closed";
  const ScopedEnv display("DISPLAY", ":98765");
  const ScopedEnv program(
      "REPLIKON_ABOUT_PROGRAM",
      Script("about", "sleep 0.3; echo \"$DISPLAY\" > '" + marker.string() + "'"));
  for (const bool ignore_sigchld : {false, true}) {
    SCOPED_TRACE(ignore_sigchld);
    fs::remove(marker);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction old {};
    if (ignore_sigchld) sigaction(SIGCHLD, &ignore, &old);
    const auto start = std::chrono::steady_clock::now();
    ShowAboutBox();
    const auto took = std::chrono::steady_clock::now() - start;
    if (ignore_sigchld) sigaction(SIGCHLD, &old, nullptr);
    EXPECT_GE(took, 250ms);
    ASSERT_TRUE(fs::exists(marker)) << "ShowAboutBox returned before the program ended";
    EXPECT_EQ(Read(marker), ":98765\n") << "the program sees the caller's display";
  }
}

// The other cases choose the program by the environment.
TEST_F(AboutBoxTest, ProgramIsFoundInTheBuildWhenTheEnvironmentNamesNone) {
  if (!Built()) GTEST_SKIP() << "the About box is left out of this build";
  const ScopedEnv unset("REPLIKON_ABOUT_PROGRAM", std::nullopt);
  const fs::path found = AboutProgramPath();
  ASSERT_FALSE(found.empty());
  EXPECT_EQ(found.filename(), "replikon-about");
  EXPECT_EQ(access(found.c_str(), X_OK), 0);
}

// Run by CTest on a private Xvfb display, with the real window program.
TEST(AboutBoxOnDisplay, ShowsTheWindowAndReturnsWhenOkCloses) {
  const char* flag = std::getenv("REPLIKON_TEST_XVFB");
  const char* real_program = std::getenv("REPLIKON_ABOUT_TEST_PROGRAM");
  if (flag == nullptr || std::string(flag) != "1" || real_program == nullptr) {
    GTEST_SKIP() << "needs the virtual display that CTest starts";
  }
  const test_support::TempDir dir;
  const fs::path report = dir.path() / "report";
  const ScopedEnv program("REPLIKON_ABOUT_PROGRAM",
                          WriteScript(dir.path() / "about", "exec '" + std::string(real_program) +
                                                                "' --test-click-ok --report '" +
                                                                report.string() + "'"));
  ShowAboutBox();
  EXPECT_EQ(Read(report), "shown About Replikon\nclosed\n");
}

}  // namespace
}  // namespace replikon::about
