// The launch sequence: refuse while the launcher runs or on an unusable volume, seed the versions
// file on a first install, run the update, copy the application into ~/Applications after a first
// install, then start the launcher with its environment and watch it for half a second.
#pragma once

#include <string>

// Set by Run before the update: the versions file did not exist (a first install).
extern bool g_firstInstall;

// The whole launch; returns the process exit code (0 or 1). Update thread.
[[nodiscard]] int Run(const std::string& installDir);

// Why the install volume can't be used (localised, followed by the path), or empty.
[[nodiscard]] std::string VolumeProblemText(const std::string& installDir);

// What the file type tool says about `path`, or "unknown".
[[nodiscard]] std::string DescribeBinary(const std::string& path);
