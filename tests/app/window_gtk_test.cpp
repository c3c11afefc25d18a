// The GTK window layer on an Xvfb of its own, called from a worker thread while the main thread
// serves GTK (as in the program), started under a Russian locale. Needs Xvfb, xdotool and
// ImageMagick; skipped without. EMBERDALE_SCREENSHOT_DIR keeps the progress window's screenshots.
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
#include "tests/support/sandbox.h"
#include "tests/support/temp_dir.h"

namespace {

using emberdale::test::Shell;
bool g_display = false;
const emberdale::test::TempDir g_home;
constexpr const char* kWhere = "^Where to install";
constexpr const char* kChooser = "^Emberdale Updater$";

// Answers windows as a user would: each step waits (bounded, searching again should a window go
// away while it looks) for a window titled `first`, then sends it the keys `second` - again while
// the window stays, as a key sent while GTK starts up can be lost. Should an answer go astray,
// every window is closed, so the call waiting for it returns instead of hanging.
using Step = std::pair<std::string, std::string>;
struct User {
  explicit User(const std::vector<Step>& steps) {
    // A window counts as answered once no visible window has its title any more.
    std::string script =
        "answer() { for i in 1 2 3 4 5; do w=$(timeout 20 xdotool search --sync --onlyvisible "
        "--name \"$1\" 2>/dev/null | head -n 1); [ -n \"$w\" ] || continue; eval \"xdotool "
        "windowfocus --sync $w $2\"; timeout 10 sh -c 'while xdotool search --onlyvisible --name "
        "\"$0\"; do sleep 0.1; done' \"$1\" >/dev/null 2>&1 && return; done; return 1; }; ";
    for (const auto& [title, keys] : steps) script += "answer '" + title + "' '" + keys + "' && ";
    script += "sleep 30; xdotool search --onlyvisible --name . windowclose %@";
    if ((pid = fork()) == 0) execl("/bin/sh", "sh", "-c", script.c_str(), nullptr), _exit(127);
  }
  ~User() { kill(pid, SIGKILL), waitpid(pid, nullptr, 0); }
  pid_t pid;
};

// The progress window captured as 8-bit RGB: whether (x, y) is within `by` of 0xRRGGBB.
bool Near(const std::string& rgb, int x, int y, int colour, int by) {
  return rgb.size() == 460 * 190 * 3 && std::ranges::all_of(std::views::iota(0, 3), [&](int c) {
           const int got = static_cast<unsigned char>(rgb[(y * 460 + x) * 3 + c]);
           return std::abs(got - (colour >> (16 - 8 * c) & 255)) <= by;
         });
}
// Whether the ink of `colour` right of the icon starts within 2 px of a label at x 74 and `top`
// (glyphs start a pixel into their label, capitals 3 px below its top); top -1: no such ink.
bool InkAt(const std::string& rgb, int colour, int top) {
  std::pair<int, int> ink{-1, 460};  // top row and left column
  for (int i = 0; i < 460 * 110; ++i) {
    if (i % 460 >= 70 && Near(rgb, i % 460, i / 460, colour, 10))
      ink = {ink.first < 0 ? i / 460 : ink.first, std::min(ink.second, i % 460)};
  }
  return top < 0 ? ink.first < 0
                 : std::abs(ink.first - (top + 3)) <= 2 && std::abs(ink.second - (74 + 1)) <= 2;
}

TEST(WindowGtk, ProgressWindowAsDrawn) {
  if (!g_display) GTEST_SKIP() << "needs Xvfb, xdotool and ImageMagick";
  ShowProgressWindow();
  std::string id;  // the progress window's
  Shell("timeout 10 xdotool search --sync --onlyvisible --name '" + std::string(kChooser) +
            "' | head -n 1 | tr -d '\\n'",
        &id);
  std::string shown;  // the download text, formatted after GTK started under ru_RU
  auto download = DownloadProgressTo(
      "Downloading the launcher...",
      [&shown](const std::string& text, int percent) { UpdateStatus(shown = text, percent); },
      std::chrono::steady_clock::now);
  constexpr int kBackground = 0x090b16, kTrack = 0x12162e, kFill = 0x6d8dff;
  const struct {
    int percent, detailTop;    // 34: the download's; -1: no detail shown
    std::vector<int> samples;  // x, y, colour, ...
  } states[] = {{0,
                 -1,
                 {5, 5, kBackground, 230, 125, kTrack, 22, 125, kTrack, 42, 50, 0xffd678, 18, 50,
                  kBackground}},  // background, track, nothing filled, icon, its left
                {1, -1, {24, 125, 0xa1cfff, 28, 125, kTrack}},                     // a full circle
                {34, 58, {22, 125, kFill, 156, 125, 0xb3e5ff, 162, 125, kTrack}},  // 33 % of it
                {-1, -1, {22, 125, kFill, 162, 125, kTrack}}};
  for (const auto& state : states) {
    SCOPED_TRACE(state.percent);
    state.percent == 34 ? download(13107200, 39059456)
                        : UpdateStatus("Preparing Emberdale...", state.percent);
    const auto wrong = [&](const std::string& rgb) {  // what a capture shows wrong
      std::string found;
      for (std::size_t i = 0; i < state.samples.size(); i += 3) {
        const int x = state.samples[i], y = state.samples[i + 1];
        if (!Near(rgb, x, y, state.samples[i + 2], 6)) found += std::format("{},{}; ", x, y);
      }
      if (!InkAt(rgb, 0xeef0ff, 30)) found += "status label; ";
      return InkAt(rgb, 0xa9aed2, state.detailTop) ? found : found + "detail";
    };
    std::string rgb;  // until the state is drawn, for at most 5 s
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
         !wrong(rgb).empty() && std::chrono::steady_clock::now() < end;) {
      Shell("import -window " + id + " -depth 8 rgb:-", &rgb);
    }
    EXPECT_EQ(wrong(rgb), "");
    Shell("[ -z \"$EMBERDALE_SCREENSHOT_DIR\" ] || import -window " + id +
          " \"$EMBERDALE_SCREENSHOT_DIR/progress" + std::to_string(state.percent) + ".png\"");
  }
  EXPECT_EQ(shown, "Downloading the launcher...\n12.50 / 37.25 MB (34%)");
  CloseCocoaWindowSync();
  EXPECT_FALSE(Shell("xdotool search --onlyvisible --name '" + std::string(kChooser) + "'"));
}

TEST(WindowGtk, DialogsAnsweredWithKeys) {
  if (!g_display) GTEST_SKIP() << "needs Xvfb, xdotool and ImageMagick";
  const auto& ui = *emberdale::core::g_uiText;
  const std::string home = g_home.path().native(), defaultDir = DefaultInstallDir();
  auto choose = [&home](const char* folder, std::vector<Step> then = {}) {
    then.insert(then.begin(), {{kWhere, "key Tab Return"},
                               {kChooser, "key ctrl+l && xdotool type " + home + folder +
                                              " && xdotool key Return"},
                               {kWhere, "key Return"}});
    return then;
  };
  const auto confirm = [&ui] {  // "0": update, "1": cancel
    return std::to_string(
        RunAlert("Updates Available", "  \u2022 Emberdale Launcher: 1.4.0 \u2192 1.5.0 (37.25 MB)",
                 AlertStyle::Informational, {ui.updateButton, ui.cancelButton}, ui.cancelButton));
  };
  const auto install = [&] { return AskForInstallDir(defaultDir).value_or("cancelled"); };
  const struct {
    const char* name;
    std::vector<Step> steps;
    std::function<std::string()> ask;
    std::string answer;
  } rows[] = {{"Return updates", {{"^Updates Available$", "key Return"}}, confirm, "0"},
              {"Escape cancels", {{"^Updates Available$", "key Escape"}}, confirm, "1"},
              {"cancel", {{kWhere, "key Escape"}}, install, "cancelled"},
              {"install", {{kWhere, "key Return"}}, install, defaultDir},
              {"choose ~/Games", choose("/Games/"), install, home + "/Games/Emberdale"},
              {"refused ~/Documents, back to the default, accepted",
               choose("/Documents/",
                      {{"^Can.t install to this folder$", "key Return"}, {kWhere, "key Return"}}),
               install, defaultDir}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const User user(row.steps);
    EXPECT_EQ(row.ask(), row.answer);
    if (row.answer == "cancelled") EXPECT_FALSE(std::filesystem::exists(home + "/Library"));
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
