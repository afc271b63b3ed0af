// Where the agent's files live.
//
// The program's folder (the executable's) holds what the agent runs and reads: the program, its
// settings file and, where a store puts it there, the client library. What the agent writes (the
// activity log, the state file, the cycle record, their lock files) lives in its data folders:
// beside the program as well on Windows and in a run by hand, but on Linux, for an agent whose
// unit gives it folders of its own (the Debian package's StateDirectory= and LogsDirectory=), in
// those: there the program's folder is root's alone, and only the data folders are the service
// account's to write.
#pragma once

#include <string>

namespace settings {

// The directory of the running executable, ending in a path delimiter.
std::string AppDirectory();
// Tests point the agent at a scratch directory; an empty text goes back to the executable's.
void SetAppDirectoryOverride(const std::string& dir);

// The data folders, ending in a path delimiter: the state file, the cycle record and the
// agent's own lock (StateDirectory), the activity logs and their lock (LogDirectory). Beside the
// program unless SetDataDirectories named others.
std::string StateDirectory();
std::string LogDirectory();
// Set once at start from where the service manager puts them; "" keeps a folder beside the program.
void SetDataDirectories(const std::string& state, const std::string& logs);
// Whether the data folders are the program's own (Windows; Linux run by hand). The settings file
// is then one of the files in the folder the agent writes, and is read as the agent's own file
// (never through a link); otherwise it lies in root's program folder, where it may be a link to
// where a package keeps it.
bool DataBesideProgram();

// The directory part of a path, up to and including its last delimiter ('/' or '\\').
std::string ExtractFilePath(const std::string& path);
std::string IncludeTrailingPathDelimiter(const std::string& dir);

}  // namespace settings
