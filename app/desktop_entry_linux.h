// How a Linux desktop starts Emberdale and hands it emberdale:// links: a desktop entry in the
// user's applications folder that runs the updater with the link as its argument, made the
// default handler of the scheme in the user's mimeapps.list. The updater then finds the link
// among its arguments like any other. Nothing here logs; callable from any thread.
#pragma once

#include <expected>
#include <filesystem>
#include <string>

// Writes "emberdale-updater.desktop" into $XDG_DATA_HOME/applications (~/.local/share/
// applications when the variable is unset or not absolute) to start `executable` with the link,
// and makes it the default handler of x-scheme-handler/emberdale in $XDG_CONFIG_HOME/
// mimeapps.list (~/.config), replacing an earlier default of the scheme and keeping every other
// line. Each file is replaced through a ".tmp" file and a rename. When update-desktop-database is
// installed it refreshes the folder's cache; its outcome is ignored.
// Result: the desktop entry's path, or what failed ("can't write {}: {}", ...).
[[nodiscard]] std::expected<std::filesystem::path, std::string> RegisterAppLinkHandler(
    const std::filesystem::path& executable);
