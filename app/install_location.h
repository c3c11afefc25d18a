// The install location of a first start: validation of a candidate folder and the window-mode
// dialog that lets the user pick one.
#pragma once

#include <optional>
#include <string>

// Pure text test: `path` equals `base`, or starts with `base` followed by "/". false for an
// empty base. No normalisation, case-sensitive.
[[nodiscard]] bool IsSameOrInside(const std::string& path, const std::string& base);

// The localised reason why `path` can't be the install directory, or empty when it can. May
// create the folder.
[[nodiscard]] std::string ValidateInstallRoot(const std::string& path);

// The install directory for a folder the user chose: the folder itself when it is named
// "Emberdale" (exactly), otherwise a "Emberdale" folder inside it.
[[nodiscard]] std::string InstallDirForChosenFolder(std::string folder);

// The first-start dialog loop of window mode, starting from `candidate`. The accepted folder, or
// empty when the user cancelled. Main thread.
[[nodiscard]] std::optional<std::string> AskForInstallDir(std::string candidate);
