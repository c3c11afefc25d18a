// Progress display: the status line of the progress window or of the terminal, and the throttled
// download progress. Where a status goes is decided at each call: the window when it is open,
// else the terminal when standard output is one, else nowhere.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>

#include "core/updater_host.h"

// Set when the user closes the progress window or the process gets SIGINT/SIGTERM; never cleared.
// While it is set, UpdateStatus shows nothing and transfers and pauses stop.
extern std::atomic<bool> g_cancelRequested;

// Set while the progress window is open.
extern std::atomic<bool> g_windowOpen;

// Shows a status: the text before the first line feed is the status line, the rest the detail.
// `percent` is 0-100 for measured progress, -1 for indeterminate. Any thread; never blocks.
void UpdateStatus(const std::string& text, int percent);

// The terminal form of a status: erase the line, the coloured 20-cell bar when 0 <= percent <=
// 100, the text with line feeds turned into spaces, and a final line feed when percent is negative
// or exactly 100.
std::string ConsoleStatusLine(const std::string& text, int percent);

// The progress callback for one transfer shown under `label`. Copies share one throttle state:
// a report is shown when the whole percent changes, 250 ms have passed, or 100 % is reached (in
// the console only the first of several 100 % reports in a row).
emberdale::core::ProgressCallback DownloadProgress(const std::string& label);

// DownloadProgress with the status display and the clock passed in.
using StatusSink = std::function<void(const std::string& text, int percent)>;
using SteadyClock = std::function<std::chrono::steady_clock::time_point()>;
emberdale::core::ProgressCallback DownloadProgressTo(const std::string& label, StatusSink show,
                                                     SteadyClock clock);
