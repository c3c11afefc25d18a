// The desktop front end: the entry, the launch sequence, the desktop host, progress and dialogs,
// app links, locations and the log writer. Each lives in its own file.
