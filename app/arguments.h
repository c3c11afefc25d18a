// The updater's own command-line arguments, saved once by the entry before any other thread
// exists: passed on to the launcher, searched for app links, and given to a restarted updater.
#pragma once

#include <string>
#include <vector>

// argv[1..] without the arguments that begin with "-psn" (process serial numbers some desktops
// add). Written once by the entry, read afterwards.
extern std::vector<std::string> g_arguments;

// The arguments to save: argv from index 1 on, in order, without those beginning with "-psn".
std::vector<std::string> SavedArguments(int argc, const char* const* argv);
