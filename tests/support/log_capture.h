// Captures the engine's log lines for one test, with the application's level prefixes ("[INFO] ",
// "[WARN] ", "[ERROR] ") as they would appear in the log file. Removes its sink when destroyed.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "core/logging.h"

namespace emberdale::test {

class LogCapture {
 public:
  LogCapture() {
    core::SetLogSink([this](core::LogLevel level, std::string_view message) {
      static constexpr std::string_view kPrefixes[] = {"[INFO] ", "[WARN] ", "[ERROR] "};
      lines_.push_back(std::string(kPrefixes[static_cast<int>(level)]) + std::string(message));
    });
  }
  ~LogCapture() { core::SetLogSink(nullptr); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Every line logged since construction, in order.
  const std::vector<std::string>& lines() const { return lines_; }
  // Only the lines beginning with `prefix`, such as "[WARN] ".
  std::vector<std::string> WithPrefix(std::string_view prefix) const {
    std::vector<std::string> kept;
    std::ranges::copy_if(lines_, std::back_inserter(kept),
                         [prefix](const std::string& line) { return line.starts_with(prefix); });
    return kept;
  }

 private:
  std::vector<std::string> lines_;
};

}  // namespace emberdale::test
