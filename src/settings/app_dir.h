// The executable's directory: home of the settings file and of the activity logs.
#pragma once

#include <string>

namespace settings {

// The directory of the running executable, ending in a path delimiter.
std::string AppDirectory();
// Tests point the agent at a scratch directory; an empty text goes back to the executable's.
void SetAppDirectoryOverride(const std::string& dir);

// The directory part of a path, up to and including its last delimiter ('/' or '\\').
std::string ExtractFilePath(const std::string& path);
std::string IncludeTrailingPathDelimiter(const std::string& dir);

}  // namespace settings
