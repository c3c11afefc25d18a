// The GTK window layer on an Xvfb of its own, called from a worker thread while the main thread
// serves GTK (as in the program), started under a Russian locale. Needs Xvfb, xdotool and
// ImageMagick; skipped without. EMBERDALE_SCREENSHOT_DIR keeps the screenshots.
// ctest-labels: slow;display
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <format>
#include <ranges>
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
  for (int c; (c = std::fgetc(pipe)) != EOF;) out += static_cast<char>(c);
  return pclose(pipe), out;
}
const std::string kKeep = "[ -z \"$EMBERDALE_SCREENSHOT_DIR\" ] || import -window ";

// Answers windows as a user would: each step waits (bounded) for a window titled `first`, then
// sends it the keys `second` - again while the window stays, as a key sent while GTK starts up
// can be lost. Should an answer go astray, every window is closed after a while, so the call
// waiting for it returns instead of hanging.
using Step = std::pair<std::string, std::string>;
struct User {
  explicit User(const std::vector<Step>& steps, const std::string& keep = "") {
    std::string script = "{ ";
    for (const auto& [title, keys] : steps) {
      // (A search fails when a window goes away while it looks: it is tried again.)
      script +=
          "for i in 1 2 3; do w=$(timeout 10 xdotool search --sync --onlyvisible --name '" + title +
          "' 2>/dev/null | head -n 1); [ -n \"$w\" ] && break; done; [ -n \"$w\" ] && { " + keep +
          " for i in 1 2 3; do xdotool "
          "windowfocus --sync $w " +
          keys +
          "; timeout 3 sh -c 'while xdotool getwindowname '$w'; "
          "do sleep 0.1; done' >/dev/null 2>&1 && break; done; } && ";
    }
    script += "sleep 30; }; xdotool search --onlyvisible --name . windowclose %@";
    if ((pid = fork()) == 0) execl("/bin/sh", "sh", "-c", script.c_str(), nullptr), _exit(127);
  }
  ~User() { kill(pid, SIGKILL), waitpid(pid, nullptr, 0); }
  pid_t pid;
};

// The progress window, captured as 8-bit RGB: expected colours.
struct Sample {
  std::string_view state;
  int x, y, rgb[3];
};
constexpr Sample kSamples[] = {  // background, track, nothing filled, the icon and its left
    {"0%", 5, 5, {9, 11, 22}},
    {"0%", 230, 125, {18, 22, 46}},
    {"0%", 22, 125, {18, 22, 46}},
    {"0%", 42, 50, {255, 214, 120}},
    {"0%", 18, 50, {9, 11, 22}},
    {"1%", 24, 125, {161, 207, 255}},
    {"1%", 28, 125, {18, 22, 46}},  // a full circle
    {"34%", 22, 125, {109, 141, 255}},
    {"34%", 156, 125, {179, 229, 255}},  // 33 % of the bar
    {"34%", 162, 125, {18, 22, 46}},
    {"indeterminate", 22, 125, {109, 141, 255}},
    {"indeterminate", 162, 125, {18, 22, 46}}};
struct Capture {
  std::string rgb;
  bool Near(int x, int y, const int* want, int by) const {
    return rgb.size() == 460 * 190 * 3 && std::ranges::all_of(std::views::iota(0, 3), [&](int c) {
             return std::abs(static_cast<unsigned char>(rgb[(y * 460 + x) * 3 + c]) - want[c]) <=
                    by;
           });
  }
  std::pair<int, int> InkOf(const int* colour) const {  // top row and left column; -1 when none
    std::pair<int, int> ink{-1, 460};
    for (int i = 0; i < 460 * 110; ++i) {
      if (i % 460 >= 70 && Near(i % 460, i / 460, colour, 10)) {
        ink = {ink.first < 0 ? i / 460 : ink.first, std::min(ink.second, i % 460)};
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
  std::string shown;  // the download text, formatted after GTK started under ru_RU
  auto download = DownloadProgressTo(
      "Downloading the launcher...",
      [&shown](const std::string& text, int percent) { UpdateStatus(shown = text, percent); },
      std::chrono::steady_clock::now);
  const std::vector<std::pair<std::string, std::function<void()>>> states = {
      {"0%", [] { UpdateStatus("Preparing Emberdale...", 0); }},
      {"1%", [] { UpdateStatus("Preparing Emberdale...", 1); }},
      {"34%", [&download] { download(13107200, 39059456); }},
      {"indeterminate", [] { UpdateStatus("Checking for updates...", -1); }}};
  const int status[] = {238, 240, 255}, detail[] = {169, 174, 210};
  for (const auto& [state, post] : states) {
    SCOPED_TRACE(state);
    post();
    // What a capture shows wrong: colours of the table, the size, and the labels' ink within 2 px
    // (glyphs start a pixel into their label at x 74, capitals 3 px below its top).
    const auto at = [](std::pair<int, int> ink, int top) {
      return std::abs(ink.first - (top + 3)) <= 2 && std::abs(ink.second - (74 + 1)) <= 2;
    };
    const auto wrong = [&](const Capture& image) {
      std::string found = image.rgb.size() == 460 * 190 * 3 ? "" : "not 460 x 190; ";
      for (const Sample& s : kSamples) {
        if (s.state == state && !image.Near(s.x, s.y, s.rgb, 6))
          found += std::format("{},{}; ", s.x, s.y);
      }
      if (!at(image.InkOf(status), 30)) found += "status label; ";
      if (state == "34%" ? !at(image.InkOf(detail), 58) : image.InkOf(detail).first >= 0)
        found += "detail";
      return found;
    };
    Capture image;  // until the state is drawn, for at most 5 s
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
         !wrong(image).empty() && std::chrono::steady_clock::now() < end;) {
      image.rgb = Shell("import -window " + id + " -depth 8 rgb:-");
    }
    EXPECT_EQ(wrong(image), "");
    Shell(kKeep + id + " \"$EMBERDALE_SCREENSHOT_DIR/progress-" + state.substr(0, 3) + ".png\"");
  }
  EXPECT_EQ(shown, "Downloading the launcher...\n12.50 / 37.25 MB (34%)");
  CloseCocoaWindowSync();
  EXPECT_EQ(Shell("xdotool search --onlyvisible --name '" + std::string(kChooser) + "'"), "");
}

TEST(WindowGtk, ConfirmationAnswersUpdateOnReturnAndCancelOnEscape) {
  if (!g_display) GTEST_SKIP() << "needs Xvfb, xdotool and ImageMagick";
  const auto& ui = *emberdale::core::g_uiText;
  for (const auto& [key, answer] : {std::pair{"Return", 0}, {"Escape", 1}}) {
    const User user({{"^Updates Available$", std::string("key ") + key}},
                    kKeep + "$w \"$EMBERDALE_SCREENSHOT_DIR/confirmation.png\";");
    EXPECT_EQ(
        RunAlert("Updates Available", "  \u2022 Emberdale Launcher: 1.4.0 \u2192 1.5.0 (37.25 MB)",
                 AlertStyle::Informational, {ui.updateButton, ui.cancelButton}, ui.cancelButton),
        answer)
        << key;
  }
}

TEST(WindowGtk, FirstStartDialog) {
  if (!g_display) GTEST_SKIP() << "needs Xvfb, xdotool and ImageMagick";
  const std::string home = g_home.path().native(), defaultDir = DefaultInstallDir();
  auto choose = [&home](const char* folder) {
    return std::vector<Step>{
        {kWhere, "key Tab Return"},
        {kChooser, "key ctrl+l && xdotool type " + home + folder + " && xdotool key Return"},
        {kWhere, "key Return"}};
  };
  std::vector<Step> refused = choose("/Documents/");  // refused, back to the default, accepted
  refused.insert(refused.end(),
                 {{"^Can.t install to this folder$", "key Return"}, {kWhere, "key Return"}});
  const struct {
    const char* name;
    std::vector<Step> steps;
    std::optional<std::string> chosen;
  } rows[] = {{"cancel", {{kWhere, "key Escape"}}, std::nullopt},
              {"install", {{kWhere, "key Return"}}, defaultDir},
              {"choose ~/Games", choose("/Games/"), home + "/Games/Emberdale"},
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
  for (const char* folder : {"Games", "Documents"})
    std::filesystem::create_directories(g_home / folder);
  setenv("HOME", g_home.path().c_str(), 1);
  setenv("LANG", "ru_RU.UTF-8", 1);  // the texts must not follow it
  setenv("GSETTINGS_BACKEND", "memory", 1);
  g_installDir = (g_home / "install").native();
  char line[64] = {};  // Xvfb's pid, then its display number
  std::FILE* xvfb = popen(
      "for t in xdotool import Xvfb; do command -v $t || exit; done >/dev/null; "
      "{ Xvfb -displayfd 1 -nolisten tcp -terminate -screen 0 1024x768x24 2>/dev/null & echo $!; }",
      "r");
  const int pid = std::fgets(line, sizeof line, xvfb) ? std::atoi(line) : 0;
  if (pid > 0 && std::fgets(line, sizeof line, xvfb)) {
    setenv("DISPLAY", (":" + std::to_string(std::atoi(line))).c_str(), 1);
    g_display = InitWindowSystemFrom(EMBERDALE_BINARY_DIR "/app/EmberdaleWindow.so",
                                     EMBERDALE_SOURCE_DIR "/app/resources/EmberdaleUpdater.png",
                                     argc, argv);
  }
  pclose(xvfb);
  if (!g_display) return (pid > 0 && kill(pid, SIGTERM)), RUN_ALL_TESTS();
  // Xvfb (-terminate) ends when this process, its last client, goes.
  std::thread([] { std::_Exit(RUN_ALL_TESTS()); }).detach();
  RunWindowEventLoop();
}
