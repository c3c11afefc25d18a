// The POSIX layer: the libcurl client, child processes, the process list, time stamps, package
// unpacking, the installers, the executable replacement, the install pointer and the volume
// checks. Each lives in its own file.
