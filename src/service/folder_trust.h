// Whether the program's folder can be trusted: the service runs its executable with full rights
// (LocalSystem, root), reads the settings that name the client library, and loads that library.
// Anyone else who can change one of them can run their own code with those rights.
//
// The service checks at every start and continue and, when others can change something, warns
// once each time in the event log and in the activity log; it runs all the same, as a store must
// not stop over it. The status check reports the same as needing attention. An install refuses
// such a program outright. Only the system's own accounts may change these (os::ProgramTrustees):
// not the service's account on Linux, whose files root's status check would load too.
#pragma once

#include <string>
#include <vector>

#include "connections/local/fb_client.h"
#include "platform/file_trust.h"

namespace service {

// The paths that matter: the program's folder, the executable, the settings file, and the client
// library (its full path; "" when none is loaded).
std::vector<std::string> ProgramPaths(const std::string& library_path);

// Who but the machine's own accounts and `also_trusted` can change any of ProgramPaths().
std::vector<os::UntrustedWrite> UntrustedProgramPaths(const std::string& library_path,
                                                      const std::vector<os::AccountId>& also_trusted);

// "<path> (por bob, o grupo staff, todos os usuários); <path> (...)": os::DescribeUntrusted in
// Portuguese, for the activity log.
std::string DescribeUntrustedPt(const std::vector<os::UntrustedWrite>& found);

// The service's own check at start and continue: nothing when all is well; otherwise one entry in
// the event log (under `event_source`) and one line in the activity log, for what others can
// change, and for a settings file that is not read as it is not the agent's own (a link, another
// account's file). Never throws.
void WarnIfProgramFolderUntrusted(const std::string& library_path, const std::string& event_source);

// Names every client library that was found and not loaded (others can change it, or it is not a
// Firebird client): one line each in the activity log at every call (every cycle), and one entry
// in the event log the first time a file is named in this process. Never throws.
void ReportRefusedLibraries(const std::vector<localdb::RefusedLibrary>& refused, const std::string& event_source);

}  // namespace service
