// Captures the engine's log lines, with the log file's level prefixes ("[INFO] ", "[WARN] ",
// "[ERROR] "), for the object's lifetime: kept in lines(), or handed to `take` when one is given.
#pragma once

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "core/logging.h"

namespace emberdale::test {

class LogCapture {
 public:
  explicit LogCapture(std::function<void(std::string)> take = nullptr) {
    core::SetLogSink([this, take = std::move(take)](core::LogLevel level, std::string_view text) {
      std::string line =
          std::array{"[INFO] ", "[WARN] ", "[ERROR] "}[static_cast<int>(level)] + std::string(text);
      take ? take(std::move(line)) : lines_.push_back(std::move(line));
    });
  }
  ~LogCapture() { core::SetLogSink(nullptr); }
  const std::vector<std::string>& lines() const { return lines_; }

 private:
  std::vector<std::string> lines_;
};

}  // namespace emberdale::test
