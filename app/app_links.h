// App links received by this process, and the hand-over to a launcher that already runs.
#pragma once

#include <mutex>
#include <optional>
#include <string>

// The last app link delivered by the desktop while the process runs (none on this platform: links
// arrive as arguments), guarded by g_appLinkMutex.
extern std::optional<std::string> g_pendingAppLink;
extern std::mutex g_appLinkMutex;

// The app link this process was started for: the delivered one, else the first saved argument
// that is an app link.
[[nodiscard]] std::optional<std::string> PendingAppLink();

// Whether a process whose executable is named "EmberdaleLauncher" runs (any user-visible one).
[[nodiscard]] bool IsLauncherAlreadyRunning();

// Hands the pending app link (or, when a launcher runs and no link is pending, "emberdale://open")
// to the running launcher. true: the launcher took over and the updater must end.
[[nodiscard]] bool HandOverToRunningLauncher(const std::string& installDir);

// IsLauncherAlreadyRunning for the launch sequence, which follows the hand-over at once: when the
// hand-over has just looked and found no launcher, that answer stands (once) instead of a second
// walk over every process of the machine. A launcher started in between could as well have
// started just after a second walk.
[[nodiscard]] bool IsLauncherRunningAfterHandOver();
