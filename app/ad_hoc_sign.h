// Ad hoc code signing of the application bundle after the updater replaced its own executable.
#pragma once

#include <filesystem>
#include <string>

// Signs `target` ad hoc so the system accepts the changed bundle. Linux has no code signing, so
// here this does nothing; a macOS build signs with AdHocSignWith("/usr/bin/codesign", target).
void AdHocSign(const std::filesystem::path& target);

// Runs `tool` --force --sign - `target` and waits for it. The caller never learns the outcome:
// a tool that cannot be run logs "[WARN] Can't run codesign: <error>", a non-zero exit logs
// "[WARN] codesign <target> failed: <output, trimmed>", success logs nothing.
void AdHocSignWith(const std::string& tool, const std::filesystem::path& target);
