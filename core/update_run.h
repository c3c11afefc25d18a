// The update run: the whole update of an installation as one call through an UpdaterHost.
//
// Flow of a run: report Preparing and empty the temp folder; fetch and validate the launcher
// manifest (up to four attempts with growing pauses); when the manifest names a different updater
// package, offer it, fetch it and hand it to the host, which may restart the updater; evaluate the
// launcher, then the Java runtime, against the versions file and what is on disk; ask once for all
// pending component updates; fetch, verify and install them one after another, saving the
// versions file after each; empty the temp folder. Without a manifest, installed components are
// used as they are, so the launcher can still start offline.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "core/model.h"

namespace emberdale::core {

class UpdaterHost;

// What the run does with one component.
enum class ComponentDecision {
  UpToDate = 0,      // installed, and the recorded digest equals the manifest digest
  UpdateNeeded = 1,  // a usable manifest entry exists and the component is missing or differs
  UseInstalled = 2,  // no usable manifest entry, but an installed copy exists
  Unavailable = 3,   // no usable manifest entry and nothing installed
};

// Runs one update with `host`, calling it only on this thread. Ready: start the launcher;
// SelfUpdated: a new updater took over; Cancelled: declined or cancelled; Failed: a failure was
// reported through host.ReportFailure exactly once.
[[nodiscard]] UpdateOutcome RunUpdate(UpdaterHost& host);

// Decides for one component. `entry` is null when there is no manifest; only digests decide
// (case-insensitively), never the version texts.
[[nodiscard]] ComponentDecision EvaluateComponent(const ComponentVersion& installed,
                                                  bool isInstalled, const UpdateInfo* entry);

// Whether the manifest's updater entry is valid and names a package other than the one last
// applied (`appliedSha256`, empty when none), comparing digests case-insensitively.
[[nodiscard]] bool NeedsSelfUpdate(std::string_view appliedSha256, const UpdateInfo& updater);

// "Launcher" or "JRE", as used in log lines; its lower-case form names the package file.
[[nodiscard]] std::string_view ComponentLogName(Component component);

// The package type named by the end of `url` (or of a path): ".tar.gz", ".tgz", ".zip", ".gz" or
// empty. The text is cut at the first '?' or '#', then the last path segment is compared
// case-insensitively.
[[nodiscard]] std::string PackageExtension(std::string_view url);

// root / "temp": where downloads land. Emptied at the start and at the end of a run.
[[nodiscard]] std::filesystem::path TempDir(const std::filesystem::path& root);

}  // namespace emberdale::core
