// Where things are: the running executable and the application bundle around it, the user's home
// folder, the launcher and the Java runtime inside an install directory; and two text helpers for
// error reports. None of these logs, throws for an ordinary failure or keeps state; each answers
// with a text that is empty when there is no answer. Callable from any thread.
#pragma once

#include <string>
#include <string_view>

// The absolute, canonical path of the running executable; empty when it cannot be determined.
// When the path cannot be made canonical, the path as the system reports it.
std::string GetSelfPath();

// The application bundle (a folder whose name ends in ".app", case-sensitive) three levels above
// the running executable (bundle/Contents/MacOS/exe); empty when the executable is not in one.
std::string SelfBundle();

// HOME when it is set and not empty, else the home folder of the real user from the password
// database; empty when neither gives one.
std::string GetHomeDir();

// installDir/Contents/MacOS/EmberdaleLauncher when that is a regular file (links followed), else
// empty.
[[nodiscard]] std::string FindLauncherExe(const std::string& installDir);

// installDir/Contents/runtime/Contents/Home, whether or not it exists.
std::string JavaHome(const std::string& installDir);

// The text without leading and trailing spaces, tabs, line feeds and carriage returns (vertical
// tab and form feed are kept).
std::string Trim(std::string_view text);

// The last `count` non-empty lines of a text file, each trimmed, joined with " | " in file order;
// only the last 200 bytes when longer (a multi-byte character at the start may be cut). A file
// that cannot be opened gives an empty text.
std::string LastLines(const std::string& path, unsigned count);
