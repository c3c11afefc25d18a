#include "posix/time_stamp.h"

#include <ctime>

namespace emberdale::posix {
namespace {

constexpr const char* kFormat = "%Y-%m-%d %H:%M:%S";
constexpr std::size_t kBufferBytes = 64;

}  // namespace

std::string LocalTimeStamp() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (localtime_r(&now, &local) == nullptr) return {};
  char buffer[kBufferBytes];
  const std::size_t length = std::strftime(buffer, sizeof buffer, kFormat, &local);
  return std::string(buffer, length);
}

}  // namespace emberdale::posix
