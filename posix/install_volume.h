// Checks on the volume of the install directory: the Java runtime needs a volume that allows
// program execution and holds symbolic links.
#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

namespace emberdale::posix {

// The name of a volume check's probe link begins with this; the process id follows.
inline constexpr std::string_view kVolumeProbePrefix = ".emberdale-link-check-";

enum class VolumeProblem {
  NoSymlinks = 0,  // the volume refuses symbolic links, as FAT and exFAT volumes do
  NoExec = 1,      // the volume is mounted with program execution disabled
};

// What makes the volume of `dir` unusable, or empty when nothing was found. A noexec mount is
// reported without touching the disk; otherwise a probe link ".emberdale-link-check-<pid>" is
// created in `dir` and removed again. Anything it cannot decide (a missing or unwritable `dir`)
// counts as no problem. Never fails.
[[nodiscard]] std::optional<VolumeProblem> CheckInstallVolume(const std::filesystem::path& dir);

}  // namespace emberdale::posix
