// Finding a running process by the name of its executable.
#pragma once

#include <string_view>

namespace emberdale::posix {

// Whether a process other than this one runs whose executable's file name is exactly `name`.
// Compares the whole name: kernels that shorten process names (to 15 bytes here) are not asked
// for them.
[[nodiscard]] bool IsProcessRunning(std::string_view name);

}  // namespace emberdale::posix
