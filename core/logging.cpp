#include "core/logging.h"

#include <utility>

namespace emberdale::core {
namespace {

// Never destroyed: a thread may still log while another one runs the exit handlers.
LogSink& SinkSlot() {
  static auto* sink = new LogSink;
  return *sink;
}

}  // namespace

void SetLogSink(LogSink sink) {
  LogSink& slot = SinkSlot();
  slot = nullptr;
  slot = std::move(sink);
}

void Log(LogLevel level, std::string_view message) {
  const LogSink& sink = SinkSlot();
  if (sink) sink(level, message);
}

}  // namespace emberdale::core
