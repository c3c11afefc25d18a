// Writes to the updater log as the program does, one process per run, so tests can watch what
// happens on the first line of a process. Commands, in order:
//   line:TEXT   Log(TEXT)
//   warn:TEXT   an engine warning through the installed sink
//   grow:BYTES  append BYTES filler bytes to the log file directly (the log grows during a run)
//   late:TEXT   an engine warning once exit destroyed every static object (a thread still logging)
// Exits 0 after the last command, 2 on an unknown command.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>

#include "app/app_log.h"
#include "app/install_dir.h"
#include "core/logging.h"

namespace {

void Grow(std::size_t bytes) {
  std::ofstream out(GetInstallDir() + "/logs/EmberdaleUpdater.log",
                    std::ios::binary | std::ios::app);
  const std::string filler(bytes, 'x');
  out.write(filler.data(), static_cast<std::streamsize>(filler.size()));
}

const char* g_lateText = nullptr;
// Registered before any static object is built, so it runs after all of them are destroyed.
__attribute__((constructor(101))) void RegisterLateText() {
  std::atexit([] {
    if (g_lateText) emberdale::core::logging::Warn("{}", g_lateText);
  });
}

}  // namespace

int main(int argc, char** argv) {
  InstallLogSink();
  for (int i = 1; i < argc; ++i) {
    const std::string_view command = argv[i];
    const std::string_view value = command.substr(command.find(':') + 1);
    if (command.starts_with("line:")) {
      Log(std::string(value));
    } else if (command.starts_with("warn:")) {
      emberdale::core::logging::Warn("{}", value);
    } else if (command.starts_with("late:")) {
      g_lateText = argv[i] + (command.find(':') + 1);
    } else if (command.starts_with("grow:")) {
      Grow(std::stoull(std::string(value)));
    } else {
      std::fprintf(stderr, "unknown command: %s\n", argv[i]);
      return 2;
    }
  }
  return 0;
}
