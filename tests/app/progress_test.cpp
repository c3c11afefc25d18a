#include "app/progress.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "core/ui_text.h"
#include "tests/support/forked_child.h"

namespace {

// The bar of a console status: the cells between "[" and "]".
std::string Cells(const std::string& line) {
  const std::size_t open = line.find('[', line.find("m["));
  const std::size_t close = line.find(']', open);
  return line.substr(open + 1, close - open - 1);
}

std::string Repeat(const char* cell, int count) {
  std::string out;
  for (int i = 0; i < count; ++i) out += cell;
  return out;
}

constexpr const char* kFull = "\u2588";
constexpr const char* kPartial = "\u2593";
constexpr const char* kEmpty = "\u2591";

TEST(ConsoleStatusLineTest, DrawsTwentyCellsForThePercent) {
  EXPECT_EQ(Cells(ConsoleStatusLine("x", 0)), kPartial + Repeat(kEmpty, 19));
  EXPECT_EQ(Cells(ConsoleStatusLine("x", 7)), kFull + std::string(kPartial) + Repeat(kEmpty, 18));
  EXPECT_EQ(Cells(ConsoleStatusLine("x", 50)),
            Repeat(kFull, 10) + kPartial + Repeat(kEmpty, 9));
  EXPECT_EQ(Cells(ConsoleStatusLine("x", 99)), Repeat(kFull, 19) + kPartial);
  EXPECT_EQ(Cells(ConsoleStatusLine("x", 100)), Repeat(kFull, 20));
}

TEST(ConsoleStatusLineTest, WritesTheWholeLineExactly) {
  EXPECT_EQ(ConsoleStatusLine("Checking for updates...", 0),
            "\r\x1b[K\x1b[38;2;109;141;255m[" + std::string(kPartial) + Repeat(kEmpty, 19) +
                "] 0%\x1b[0m Checking for updates...");
  EXPECT_EQ(ConsoleStatusLine("Done\nall of it", 100),
            "\r\x1b[K\x1b[38;2;109;141;255m[" + Repeat(kFull, 20) +
                "] 100%\x1b[0m Done all of it\n");
  EXPECT_EQ(ConsoleStatusLine("Preparing Emberdale...", -1), "\r\x1b[KPreparing Emberdale...\n");
  EXPECT_EQ(ConsoleStatusLine("Odd", 101), "\r\x1b[KOdd");
}

class DownloadProgressTest : public ::testing::Test {
 protected:
  emberdale::core::ProgressCallback Callback() {
    return DownloadProgressTo(
        "Downloading the launcher...",
        [this](const std::string& text, int percent) { shown_.emplace_back(text, percent); },
        [this] { return now_; });
  }
  void Advance(int milliseconds) { now_ += std::chrono::milliseconds(milliseconds); }

  std::vector<std::pair<std::string, int>> shown_;
  std::chrono::steady_clock::time_point now_ = std::chrono::steady_clock::time_point() +
                                               std::chrono::hours(1);
};

TEST_F(DownloadProgressTest, ShowsMegabytesAndThePercent) {
  auto progress = Callback();
  progress(13107200, 39059456);  // 12.50 of 37.25 MB
  ASSERT_EQ(shown_.size(), 1u);
  EXPECT_EQ(shown_[0].first, "Downloading the launcher...\n12.50 / 37.25 MB (34%)");
  EXPECT_EQ(shown_[0].second, 33);  // the bar gets the truncated percent, the text rounds
  progress(std::uint64_t{1} << 62, 1);
  EXPECT_GT(shown_.at(1).second, 100) << "a reported size far below what arrives";
}

TEST_F(DownloadProgressTest, ThrottlesRepeatsOfTheSamePercentButNeverTheEnd) {
  auto progress = Callback();
  progress(10, 0);  // no total: nothing
  progress(100, 1000);
  Advance(100);
  progress(105, 1000);  // same 10 %, 100 ms later: skipped
  Advance(149);
  progress(106, 1000);  // still within 250 ms of the last shown: skipped
  Advance(1);
  progress(107, 1000);  // 250 ms: shown again
  progress(200, 1000);  // a new percent: shown at once
  progress(1000, 1000);
  progress(1000, 1000);  // 100 % is always shown
  std::vector<int> percents;
  for (const auto& [text, percent] : shown_) percents.push_back(percent);
  EXPECT_EQ(percents, (std::vector<int>{10, 10, 20, 100, 100}));
}

TEST(DownloadProgressConsoleTest, FinishedDownloadIsOneLineThoughReportedRepeatedly) {
  const auto run = emberdale::test::RunInChild(
      [] {
        auto progress = DownloadProgress("Downloading the launcher...");
        for (const std::uint64_t done : {500, 1000, 1000, 1000}) progress(done, 1000);
        return 0;
      },
      emberdale::test::ChildStdout::Terminal);
  EXPECT_EQ(std::ranges::count(run.output, '\n'), 1) << "only 100 % ends the line: " << run.output;
}

TEST_F(DownloadProgressTest, CopiesShareOneThrottle) {
  auto progress = Callback();
  auto copy = progress;
  progress(500, 1000);
  copy(500, 1000);
  EXPECT_EQ(shown_.size(), 1u);
}

TEST(UpdateStatusTest, ShowsNothingOnceCancelled) {
  g_cancelRequested = true;
  g_windowOpen = false;
  testing::internal::CaptureStdout();
  UpdateStatus("anything", 50);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  g_cancelRequested = false;
}

}  // namespace
