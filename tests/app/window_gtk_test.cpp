// The GTK window layer on a real X server (an Xvfb of its own): the progress window as drawn, the
// confirmation answered by keys, the first-start dialog with its folder chooser. As in the
// program, the tests call the window layer from a worker thread while the main thread serves GTK,
// and GTK starts under a Russian locale. Needs Xvfb, xdotool and ImageMagick; skipped without.
// Set EMBERDALE_SCREENSHOT_DIR to keep the screenshots.
// ctest-labels: slow;display
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "app/dialogs.h"
#include "app/install_dir.h"
#include "app/install_location.h"
#include "app/progress.h"
#include "app/window_module.h"
#include "core/ui_text.h"
#include "gtest/gtest.h"
#include "tests/support/temp_dir.h"

namespace {

bool g_display = false;
const emberdale::test::TempDir g_home;
constexpr const char* kWhere = "^Where to install";
constexpr const char* kChooser = "^Emberdale Updater$";

std::string Shell(const std::string& command) {
  std::FILE* pipe = popen(command.c_str(), "r");
  std::string out;
  char buffer[65536];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  pclose(pipe);
  return out;
}

std::string Keep(const std::string& name) {  // a command that keeps window $w's screenshot
  return std::string("[ -z \"$EMBERDALE_SCREENSHOT_DIR\" ] || import -window $w "
                     "\"$EMBERDALE_SCREENSHOT_DIR/") + name + ".png\"; ";
}

// Answers windows as a user would: each step waits (bounded) for a window whose title matches,
// then runs its command with the window in $w. Should the answer go astray, every window is
// closed after a while, so the call waiting for it returns instead of hanging.
struct Step {
  std::string title, command;
};
Step Keys(const std::string& title, const std::string& keys, const std::string& before = "") {
  return {title, before + "xdotool windowfocus --sync $w " + keys};
}
class User {
 public:
  explicit User(const std::vector<Step>& steps) {
    std::string script = "{ ";
    for (const Step& s : steps) {
      script += "w=$(timeout 10 xdotool search --sync --onlyvisible --name '" + s.title +
                "' | head -n 1); [ -n \"$w\" ] && { " + s.command + "; } && ";
    }
    script += "sleep 30; }; xdotool search --onlyvisible --name . windowclose %@";
    pid_ = fork();
    if (pid_ == 0) execl("/bin/sh", "sh", "-c", script.c_str(), nullptr), _exit(127);
  }
  ~User() { kill(pid_, SIGKILL), waitpid(pid_, nullptr, 0); }

 private:
  pid_t pid_;
};

// The progress window, captured as 8-bit RGB.
struct Sample {
  const char* state;
  int x, y;
  int rgb[3];
};
constexpr Sample kSamples[] = {
    {"0%", 5, 5, {9, 11, 22}},         {"0%", 230, 125, {18, 22, 46}},   // background, track
    {"0%", 22, 125, {18, 22, 46}},     {"0%", 42, 50, {255, 214, 120}},  // empty bar, icon
    {"0%", 18, 50, {9, 11, 22}},       {"34%", 22, 125, {109, 141, 255}},
    {"34%", 156, 125, {179, 229, 255}}, {"34%", 162, 125, {18, 22, 46}},  // 33 % of the bar
    {"indeterminate", 22, 125, {109, 141, 255}}, {"indeterminate", 162, 125, {18, 22, 46}},
};
struct Ink {  // rows and columns holding a label's text colour; top -1 when none
  int top = -1, left = 460;
};
struct Capture {
  std::string rgb;
  int At(int x, int y, int c) const { return static_cast<unsigned char>(rgb[(y * 460 + x) * 3 + c]); }
  bool Near(int x, int y, const int* want, int by) const {
    for (int c = 0; c < 3; ++c) {
      if (std::abs(At(x, y, c) - want[c]) > by) return false;
    }
    return rgb.size() == 460 * 190 * 3;
  }
  bool Shows(const std::string& state) const {
    for (const Sample& s : kSamples) {
      if (s.state == state && !Near(s.x, s.y, s.rgb, 6)) return false;
    }
    return true;
  }
  Ink InkOf(const int* colour) const {
    Ink ink;
    for (int y = 0; y < 110 && rgb.size() == 460 * 190 * 3; ++y) {
      for (int x = 70; x < 450; ++x) {
        if (!Near(x, y, colour, 10)) continue;
        if (ink.top < 0) ink.top = y;
        ink.left = std::min(ink.left, x);
      }
    }
    return ink;
  }
};

TEST(WindowGtk, ProgressWindowAsDrawn) {
  if (!g_display) GTEST_SKIP() << "needs Xvfb, xdotool and ImageMagick";
  ShowProgressWindow();
  const std::string id = Shell("timeout 10 xdotool search --sync --onlyvisible --name '" +
                               std::string(kChooser) + "' | head -n 1 | tr -d '\\n'");
  std::string shown;  // the download text, from the locale-sensitive formatting
  auto download = DownloadProgressTo(
      "Downloading the launcher...",
      [&shown](const std::string& text, int percent) { UpdateStatus(shown = text, percent); },
      std::chrono::steady_clock::now);
  const std::vector<std::pair<std::string, std::function<void()>>> states = {
      {"0%", [] { UpdateStatus("Preparing Emberdale...", 0); }},
      {"34%", [&download] { download(13107200, 39059456); }},
      {"indeterminate", [] { UpdateStatus("Checking for updates...", -1); }}};
  const int status[] = {238, 240, 255}, detail[] = {169, 174, 210};
  for (const auto& [state, post] : states) {
    SCOPED_TRACE(state);
    post();
    Capture image;
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
         !image.Shows(state) && std::chrono::steady_clock::now() < end;) {
      image.rgb = Shell("import -window " + id + " -depth 8 rgb:-");
    }
    ASSERT_EQ(image.rgb.size(), 460u * 190 * 3) << "the content area is 460 x 190";
    Shell("[ -z \"$EMBERDALE_SCREENSHOT_DIR\" ] || import -window " + id +
          " \"$EMBERDALE_SCREENSHOT_DIR/progress-" + state.substr(0, 3) + ".png\"");
    for (const Sample& s : kSamples) {
      if (s.state == state) EXPECT_TRUE(image.Near(s.x, s.y, s.rgb, 6)) << s.x << "," << s.y;
    }
    const Ink statusInk = image.InkOf(status), detailInk = image.InkOf(detail);
    // Glyphs start a pixel into the label, capitals 3 px below its top.
    EXPECT_NEAR(statusInk.left, 74 + 1, 2);
    EXPECT_NEAR(statusInk.top, 30 + 3, 2);
    if (state == "34%") {
      EXPECT_EQ(shown, "Downloading the launcher...\n12.50 / 37.25 MB (34%)");
      EXPECT_NEAR(detailInk.left, 74 + 1, 2);
      EXPECT_NEAR(detailInk.top, 58 + 3, 2);
    } else {
      EXPECT_EQ(detailInk.top, -1) << "a one-line status clears the detail";
    }
  }
  CloseCocoaWindowSync();
  EXPECT_EQ(Shell("xdotool search --onlyvisible --name '" + std::string(kChooser) + "'"), "");
}

TEST(WindowGtk, ConfirmationAnswersUpdateOnReturnAndCancelOnEscape) {
  if (!g_display) GTEST_SKIP() << "needs Xvfb, xdotool and ImageMagick";
  const auto& ui = *emberdale::core::g_uiText;
  for (const auto& [key, answer] : {std::pair{"Return", 0}, {"Escape", 1}}) {
    SCOPED_TRACE(key);
    User user({Keys("^Updates Available$", std::string("key ") + key, Keep("confirmation"))});
    EXPECT_EQ(RunAlert("Updates Available", "  \u2022 Emberdale Launcher: 1.4.0 \u2192 1.5.0 (37.25 MB)",
                       AlertStyle::Informational, {ui.updateButton, ui.cancelButton}, ui.cancelButton),
              answer);
  }
}

TEST(WindowGtk, FirstStartDialog) {
  if (!g_display) GTEST_SKIP() << "needs Xvfb, xdotool and ImageMagick";
  const std::string home = g_home.path().native();
  const std::string defaultDir = DefaultInstallDir();
  auto choose = [&home](const char* folder) {
    return std::vector<Step>{Keys(kWhere, "key Tab Return"),
                             Keys(kChooser, "key ctrl+l type " + home + folder),
                             Keys(kChooser, "key Return")};
  };
  std::vector<Step> games = choose("/Games/"), refused = choose("/Documents/");
  games.push_back(Keys(kWhere, "key Return"));
  for (const char* title : {kWhere, "^Can.t install to this folder$", kWhere}) {
    refused.push_back(Keys(title, "key Return"));
  }
  const struct {
    const char* name;
    std::vector<Step> steps;
    std::optional<std::string> chosen;
  } rows[] = {{"cancel", {Keys(kWhere, "key Escape")}, std::nullopt},
              {"install", {Keys(kWhere, "key Return")}, defaultDir},
              {"choose ~/Games", games, home + "/Games/Emberdale"},
              {"refused ~/Documents", refused, defaultDir}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const User user(row.steps);
    EXPECT_EQ(AskForInstallDir(defaultDir), row.chosen);
    if (!row.chosen) EXPECT_FALSE(std::filesystem::exists(home + "/Library")) << "nothing written";
  }
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  std::filesystem::create_directories(g_home / "Games");
  std::filesystem::create_directories(g_home / "Documents");
  setenv("HOME", g_home.path().c_str(), 1);
  setenv("LANG", "ru_RU.UTF-8", 1);  // the texts must not follow it
  setenv("GSETTINGS_BACKEND", "memory", 1);
  g_installDir = (g_home / "install").native();
  char pidAndDisplay[64] = {};
  std::FILE* xvfb = popen(
      "command -v xdotool import >/dev/null && command -v Xvfb >/dev/null && "
      "{ Xvfb -displayfd 1 -nolisten tcp -screen 0 1024x768x24 2>/dev/null & echo $!; }", "r");
  const int pid = std::fgets(pidAndDisplay, sizeof pidAndDisplay, xvfb) ? std::atoi(pidAndDisplay) : 0;
  if (pid > 0 && std::fgets(pidAndDisplay, sizeof pidAndDisplay, xvfb)) {
    setenv("DISPLAY", (":" + std::to_string(std::atoi(pidAndDisplay))).c_str(), 1);
    g_display = InitWindowSystemFrom(EMBERDALE_BINARY_DIR "/app/EmberdaleWindow.so",
                                     EMBERDALE_SOURCE_DIR "/app/resources/EmberdaleUpdater.png",
                                     argc, argv);
  }
  pclose(xvfb);
  if (!g_display) return RUN_ALL_TESTS();
  std::thread([pid] {
    const int result = RUN_ALL_TESTS();
    kill(pid, SIGTERM);
    std::_Exit(result);
  }).detach();
  RunWindowEventLoop();
}
