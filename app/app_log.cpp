#include "app/app_log.h"

#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string_view>

#include "app/install_dir.h"
#include "core/logging.h"
#include "core/unique_file.h"
#include "posix/time_stamp.h"

namespace {

namespace fs = std::filesystem;
using emberdale::core::LogLevel;

constexpr std::uintmax_t kRotateAboveBytes = 1'048'576;
constexpr const char* kLogFolder = "/logs";
constexpr const char* kLogFileName = "/EmberdaleUpdater.log";
constexpr const char* kLaunchLogFileName = "/launcher_launch.log";
constexpr const char* kRotatedSuffix = ".1";

// Never destroyed: a detached thread may still log while the process runs its exit handlers.
std::recursive_mutex& LogMutex() {
  static auto* mutex = new std::recursive_mutex;
  return *mutex;
}

bool g_logPrepared = false;  // guarded by LogMutex()

// Once per process: the logs folder exists and a file grown past the limit is set aside.
void PrepareLogFile(const std::string& folder, const std::string& file) {
  std::error_code ec;
  fs::create_directories(folder, ec);
  const std::uintmax_t size = fs::file_size(file, ec);
  if (!ec && size > kRotateAboveBytes) fs::rename(file, file + kRotatedSuffix, ec);
  g_logPrepared = true;
}

// "[YYYY-MM-DD HH:MM:SS] ", or nothing when the time can't be had.
std::string TimeStamp() {
  const std::string stamp = emberdale::posix::LocalTimeStamp();
  return stamp.empty() ? stamp : "[" + stamp + "] ";
}

std::string_view LevelPrefix(LogLevel level) {
  switch (level) {
    case LogLevel::Warn:
      return "[WARN] ";
    case LogLevel::Error:
      return "[ERROR] ";
    default:
      return "[INFO] ";
  }
}

}  // namespace

std::string LogsFolder(const std::string& installDir) {
  return installDir + kLogFolder;
}

std::string LaunchLogPath(const std::string& installDir) {
  return LogsFolder(installDir) + kLaunchLogFileName;
}

void Log(const std::string& line) {
  try {
    std::lock_guard lock(LogMutex());
    const std::string folder = LogsFolder(GetInstallDir());
    const std::string file = folder + kLogFileName;
    if (!g_logPrepared) PrepareLogFile(folder, file);
    // "e": close-on-exec, so a child started meanwhile by another thread never inherits the file.
    const emberdale::core::UniqueFile out(std::fopen(file.c_str(), "abe"));
    if (!out) return;
    const std::string text = line.empty() ? std::string("\n") : TimeStamp() + line + "\n";
    std::fwrite(text.data(), 1, text.size(), out.get());
  } catch (...) {
    // A log call never throws to its caller.
  }
}

void InstallLogSink() {
  emberdale::core::SetLogSink([](LogLevel level, std::string_view message) {
    std::string line(LevelPrefix(level));
    line += message;
    Log(line);
  });
}
