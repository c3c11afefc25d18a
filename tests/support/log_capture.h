// Captures the engine's log lines for one test: installs a log sink on construction and removes
// it on destruction. Lines carry the application's level prefixes ("[INFO] ", "[WARN] ",
// "[ERROR] ") so tests compare them as they would appear in the log file.
#pragma once

#include <string>
#include <vector>

namespace emberdale::test {

class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Every line logged since construction, in order.
  const std::vector<std::string>& lines() const { return lines_; }

  // Only the lines of one level: "[WARN] ", "[ERROR] " or "[INFO] ".
  std::vector<std::string> WithPrefix(std::string_view prefix) const;

 private:
  std::vector<std::string> lines_;
};

}  // namespace emberdale::test
