// The install directory of the process and the install pointer at its fixed place in the user's
// Application Support folder.
#pragma once

#include <string>

// The install directory of the process: empty until first asked for or set; the entry sets it
// after a first-start choice, otherwise GetInstallDir fills it. Written once on the main thread
// before other threads exist, only read afterwards.
// Lives until the process ends.
extern std::string& g_installDir;

// GetHomeDir() + "/Library/Application Support/dev.quillfen.updater/install-path".
std::string InstallPointerPath();

// GetHomeDir() + "/Library/Application Support/Emberdale".
std::string DefaultInstallDir();

// The install directory recorded in the pointer file at InstallPointerPath(), or empty.
std::string ReadInstallPointer();

// g_installDir, filled on first use from the pointer file or else with DefaultInstallDir(). The
// pointer's value is taken unchanged. First call on the main thread during start-up.
std::string GetInstallDir();
