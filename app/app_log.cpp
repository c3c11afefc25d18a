#include "app/app_log.h"

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string_view>

#include "app/install_dir.h"
#include "core/logging.h"

namespace {

namespace fs = std::filesystem;
using emberdale::core::LogLevel;

constexpr std::uintmax_t kRotateAboveBytes = 1'048'576;
constexpr const char* kLogFolder = "/logs";
constexpr const char* kLogFileName = "/EmberdaleUpdater.log";
constexpr const char* kRotatedSuffix = ".1";
constexpr const char* kTimeStampFormat = "[%Y-%m-%d %H:%M:%S] ";
constexpr std::size_t kTimeStampBufferBytes = 64;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

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

std::string TimeStamp() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (localtime_r(&now, &local) == nullptr) return {};
  char buffer[kTimeStampBufferBytes];
  const std::size_t length = std::strftime(buffer, sizeof buffer, kTimeStampFormat, &local);
  return std::string(buffer, length);
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

void Log(const std::string& line) {
  try {
    std::lock_guard lock(LogMutex());
    const std::string folder = GetInstallDir() + kLogFolder;
    const std::string file = folder + kLogFileName;
    if (!g_logPrepared) PrepareLogFile(folder, file);
    // "e": close-on-exec, so a child started meanwhile by another thread never inherits the file.
    const UniqueFile out(std::fopen(file.c_str(), "abe"));
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
