// The portable logging layer: leveled, formatted messages forwarded to one replaceable sink.
// It knows nothing of files; the application installs the sink at start-up, before any other
// thread exists, and never replaces it afterwards. Without a sink, messages are discarded.
#pragma once

#include <format>
#include <functional>
#include <string_view>

namespace emberdale::core {

enum class LogLevel { Info = 0, Warn = 1, Error = 2 };

using LogSink = std::function<void(LogLevel, std::string_view)>;

// Replaces the sink (the previous one is destroyed first). An empty function uninstalls it.
void SetLogSink(LogSink sink);

// Passes the message to the installed sink, if any.
void Log(LogLevel level, std::string_view message);

namespace logging {

template <typename... Args>
void Info(std::format_string<Args...> format, Args&&... args) {
  Log(LogLevel::Info, std::format(format, std::forward<Args>(args)...));
}

template <typename... Args>
void Warn(std::format_string<Args...> format, Args&&... args) {
  Log(LogLevel::Warn, std::format(format, std::forward<Args>(args)...));
}

template <typename... Args>
void Error(std::format_string<Args...> format, Args&&... args) {
  Log(LogLevel::Error, std::format(format, std::forward<Args>(args)...));
}

}  // namespace logging
}  // namespace emberdale::core
