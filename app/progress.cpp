#include "app/progress.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <limits>
#include <memory>

#include "app/dialogs.h"
#include "app/window.h"
#include "core/ui_text.h"

std::atomic<bool> g_cancelRequested{false};
std::atomic<bool> g_windowOpen{false};

namespace {

constexpr int kBarCells = 20;
constexpr int kPercentPerCell = 100 / kBarCells;
constexpr auto kThrottleInterval = std::chrono::milliseconds(250);
constexpr std::size_t kMaxDownloadTextBytes = 255;
constexpr double kBytesPerMegabyte = 1048576.0;
constexpr double kMaxPercent = std::numeric_limits<int>::max();

std::string Bar(int percent) {
  std::string bar = "\x1b[38;2;109;141;255m[";
  for (int cell = 0; cell < kBarCells; ++cell) {
    if (percent >= kPercentPerCell * (cell + 1)) {
      bar += "\u2588";
    } else if (percent >= kPercentPerCell * cell) {
      bar += "\u2593";
    } else {
      bar += "\u2591";
    }
  }
  return bar + "] " + std::to_string(percent) + "%\x1b[0m ";
}

void ShowInWindow(const std::string& text, int percent) {
  const std::size_t lineFeed = text.find('\n');
  std::string status = text.substr(0, lineFeed);
  std::string detail = lineFeed == std::string::npos ? std::string() : text.substr(lineFeed + 1);
  const double fraction = percent < 0 ? -1.0 : percent / 100.0;
  PostWindowStatus(std::move(status), std::move(detail), fraction);
}

struct Throttle {
  int lastPercent = -1;
  std::chrono::steady_clock::time_point lastShown{};
};

std::string DownloadText(const std::string& label, std::uint64_t done, std::uint64_t total,
                         double percent) {
  char buffer[kMaxDownloadTextBytes + 1];
  std::snprintf(buffer, sizeof buffer, "%s\n%.2f / %.2f%s (%.0f%%)", label.c_str(),
                static_cast<double>(done) / kBytesPerMegabyte,
                static_cast<double>(total) / kBytesPerMegabyte,
                emberdale::core::g_uiText->megabytes, percent);
  return buffer;
}

}  // namespace

std::string ConsoleStatusLine(const std::string& text, int percent) {
  std::string line = "\r\x1b[K";
  if (percent >= 0 && percent <= 100) line += Bar(percent);
  for (const char c : text) line += c == '\n' ? ' ' : c;
  if (percent < 0 || percent == 100) line += '\n';
  return line;
}

void UpdateStatus(const std::string& text, int percent) {
  if (g_cancelRequested) return;
  if (g_windowOpen) {
    ShowInWindow(text, percent);
    return;
  }
  if (!StdoutIsTerminal()) return;
  const std::string line = ConsoleStatusLine(text, percent);
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

emberdale::core::ProgressCallback DownloadProgress(const std::string& label) {
  // libcurl reports the end of a transfer several times, and in the console every 100 % status
  // ends its line: there a repeated 100 % is not shown again.
  auto lastPercent = std::make_shared<int>(-1);
  return DownloadProgressTo(
      label,
      [lastPercent](const std::string& text, int percent) {
        const bool repeatedEnd = percent == 100 && *lastPercent == 100;
        *lastPercent = percent;
        if (!repeatedEnd || g_windowOpen) UpdateStatus(text, percent);
      },
      std::chrono::steady_clock::now);
}

emberdale::core::ProgressCallback DownloadProgressTo(const std::string& label, StatusSink show,
                                                     SteadyClock clock) {
  auto throttle = std::make_shared<Throttle>();
  return [throttle, label, show = std::move(show), clock = std::move(clock)](std::uint64_t done,
                                                                             std::uint64_t total) {
    if (total == 0) return;
    const double exact = static_cast<double>(done) * 100.0 / static_cast<double>(total);
    // A reported size far below what arrives must not overflow the conversion.
    const int percent = static_cast<int>(std::min(exact, kMaxPercent));
    const auto now = clock();
    if (percent <= 99 && percent == throttle->lastPercent &&
        now - throttle->lastShown < kThrottleInterval) {
      return;
    }
    throttle->lastPercent = percent;
    throttle->lastShown = now;
    show(DownloadText(label, done, total, exact), percent);
  };
}
