#include "tests/support/log_capture.h"

#include <algorithm>
#include <string_view>

#include "core/logging.h"

namespace emberdale::test {
namespace {

std::string_view PrefixOf(core::LogLevel level) {
  switch (level) {
    case core::LogLevel::Warn:
      return "[WARN] ";
    case core::LogLevel::Error:
      return "[ERROR] ";
    case core::LogLevel::Info:
      break;
  }
  return "[INFO] ";
}

}  // namespace

LogCapture::LogCapture() {
  core::SetLogSink([this](core::LogLevel level, std::string_view message) {
    lines_.push_back(std::string(PrefixOf(level)) + std::string(message));
  });
}

LogCapture::~LogCapture() {
  core::SetLogSink(nullptr);
}

std::vector<std::string> LogCapture::WithPrefix(std::string_view prefix) const {
  std::vector<std::string> kept;
  std::ranges::copy_if(lines_, std::back_inserter(kept),
                       [prefix](const std::string& line) { return line.starts_with(prefix); });
  return kept;
}

}  // namespace emberdale::test
