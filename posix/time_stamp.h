// Time stamps of the log files: the local time as "YYYY-MM-DD HH:MM:SS". Any thread.
#pragma once

#include <string>

namespace emberdale::posix {

// The current local time as "YYYY-MM-DD HH:MM:SS" (digits whatever the locale), or empty when
// the system can't convert the time.
[[nodiscard]] std::string LocalTimeStamp();

}  // namespace emberdale::posix
