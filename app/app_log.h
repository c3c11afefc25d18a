// The application's log writer: owns logs/EmberdaleUpdater.log in the install directory. Each line
// is stamped with the local time and appended as a unit; the file is opened and closed for every
// line. On the first line of a process the logs folder is created and a file grown past 1 MiB is
// moved to EmberdaleUpdater.log.1. Logging never fails visibly.
#pragma once

#include <string>

// installDir + "/logs": the updater log and the launch log live here.
std::string LogsFolder(const std::string& installDir);

// installDir + "/logs/launcher_launch.log": the launcher's start log and its output.
std::string LaunchLogPath(const std::string& installDir);

// Appends "[YYYY-MM-DD HH:MM:SS] " + line + "\n" to the log file under GetInstallDir(); an empty
// line is written as a lone "\n". Front-end lines carry their own level prefix ("[INFO] ",
// "[WARN] ", "[ERROR] "). Serialised by a recursive mutex, so it may be called from any thread,
// also while the same thread is already logging. Never throws; failures leave no trace.
void Log(const std::string& line);

// Installs the engine's log sink (emberdale::core::SetLogSink), which writes each engine message
// through Log behind its level prefix. Called once during start-up, before other threads exist.
void InstallLogSink();
