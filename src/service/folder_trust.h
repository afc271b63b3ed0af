// Whether the program's folder can be trusted: the service runs its executable with full rights
// (LocalSystem, root), reads the settings that name the client library, and loads that library.
// Anyone else who can change one of them can run their own code with those rights.
//
// The service checks at every start and continue and, when others can change something, warns
// once each time in the event log and in the activity log; it runs all the same, as a store must
// not stop over it. The status check reports the same as needing attention. On Linux an install
// refuses such a program outright, as its unit would run it as root.
#pragma once

#include <string>
#include <vector>

#include "platform/file_trust.h"

namespace service {

// The paths that matter: the program's folder, the executable, the settings file, and the client
// library (its full path; "" when none is loaded).
std::vector<std::string> ProgramPaths(const std::string& library_path);

// Who but the machine's own accounts and `also_trusted` can change any of ProgramPaths().
std::vector<os::UntrustedWrite> UntrustedProgramPaths(const std::string& library_path,
                                                      const std::vector<os::AccountId>& also_trusted);

// "<path> (by bob, the group staff, every user); <path> (...)", in English for the event log and
// the status check.
std::string DescribeUntrusted(const std::vector<os::UntrustedWrite>& found);
// The same in Portuguese, for the activity log.
std::string DescribeUntrustedPt(const std::vector<os::UntrustedWrite>& found);

// The service's own check at start and continue, with the account it runs as trusted: nothing
// when all is well; otherwise one entry in the event log (under `event_source`) and one line in
// the activity log. Never throws.
void WarnIfProgramFolderUntrusted(const std::string& library_path, const std::string& event_source);

}  // namespace service
