#include "core/logging.h"

#include <utility>

namespace emberdale::core {
namespace {

LogSink& SinkSlot() {
  static LogSink sink;
  return sink;
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
