// Captures the engine's log lines, with the log file's level prefixes ("[INFO] ", "[WARN] ",
// "[ERROR] "), for the object's lifetime.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "core/logging.h"

namespace emberdale::test {

class LogCapture {
 public:
  LogCapture() {
    core::SetLogSink([this](core::LogLevel level, std::string_view message) {
      lines_.push_back(std::array{"[INFO] ", "[WARN] ", "[ERROR] "}[static_cast<int>(level)] +
                       std::string(message));
    });
  }
  ~LogCapture() { core::SetLogSink(nullptr); }
  const std::vector<std::string>& lines() const { return lines_; }
  std::vector<std::string> WithPrefix(std::string_view prefix) const {
    std::vector<std::string> kept;
    for (const std::string& line : lines_) {
      if (line.starts_with(prefix)) kept.push_back(line);
    }
    return kept;
  }

 private:
  std::vector<std::string> lines_;
};

}  // namespace emberdale::test
