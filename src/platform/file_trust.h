// Who may change the files the agent runs and reads with full rights, beside the accounts the
// machine trusts anyway.
//
// The agent runs as LocalSystem or root, and loads and runs what its folder holds: the program,
// the settings that name the client library, the library itself. Anyone else who can change one
// of them can run their own code with those rights. The system's own accounts are trusted: root
// on POSIX (with the group root); SYSTEM, the Administrators and TrustedInstaller on Windows.
//
// POSIX: file_trust_posix.cpp (owner, mode bits and POSIX access lists, and the folders above a
// path, whose writers could put another file in its place; a sticky folder protects what trusted
// accounts own in it). Windows: file_trust_windows.cpp (the owner and the allowing entries of the
// access list, and the owners and delete rights of the folders above).
#pragma once

#include <string>
#include <vector>

namespace os {

// An account as the platform tells accounts apart: a user id on POSIX ("0"), a SID on Windows
// ("S-1-5-18").
using AccountId = std::string;

// The account this process runs as.
AccountId CurrentAccount();
// The account that owns `path` (a link followed); "" when that cannot be found out.
AccountId OwnerOf(const std::string& path);

// Who may change what the agent runs and loads (its program, settings and client library) beside
// the system's own accounts. Linux: nobody else: a packaged agent runs as an account of its own,
// which talks to a central server the agent cannot authenticate, so nothing that account could
// write may ever be loaded, by the agent or by root's status check. Windows: the account this
// process runs as (the service's is LocalSystem anyway; under Wine every process runs as the
// one user who owns every file).
std::vector<AccountId> ProgramTrustees();

// The accounts whose files in the agent's data folder are its own, beside the system's accounts
// and the one this process runs as: the service's account, as its unit or the service control
// manager names it (never as a file in the folder says). Set once at start; read by
// File::Mode::kReadOwn.
void SetAgentAccounts(std::vector<AccountId> accounts);
// Whether files of `owner` count as the agent's own.
bool IsAgentAccount(const AccountId& owner);

// Someone who can change a file or folder.
struct Writer {
  enum class Kind {
    kOwner,     // owns it: may give itself any right
    kUser,      // a user the access list or the mode lets write
    kGroup,     // the members of a group
    kEveryone,  // every account of the machine
    kUnknown,   // the rights could not be read; `name` says why (never taken for safe)
  };
  Kind kind;
  std::string name;  // the account's or group's name ("bob", "BUILTIN\Users"); for kUnknown the reason
};

struct UntrustedWrite {
  std::string path;
  std::vector<Writer> writers;
};

// Everyone but the system's own accounts and `also_trusted` who can change any of `paths` (links
// followed to what they point to, and the folders the links lie in judged too), each path or
// folder named once, in the order found. The folders above each path count: on POSIX every writer
// of them (a sticky folder protects what trusted accounts own in it); on Windows their owners and
// whoever may delete, rename or re-permission them or what they hold (DELETE, FILE_DELETE_CHILD,
// WRITE_DAC, WRITE_OWNER). Paths that do not exist are left out.
std::vector<UntrustedWrite> UntrustedWriters(const std::vector<std::string>& paths,
                                             const std::vector<AccountId>& also_trusted);

// "<path> (by bob, the group staff, every user); <path> (...)": who may change what, in English
// for the event log, the status check and error texts.
std::string DescribeUntrusted(const std::vector<UntrustedWrite>& found);

// Gives `folder` an access list of its own that only the system's accounts can change: Windows:
// SYSTEM and the Administrators full control, Users read and execute, nothing inherited from the
// folder above, all of it inherited by what the folder holds (and the Administrators as its owner,
// where this account may set that). Refused, with an OsError, where that cannot hold: a volume
// that keeps no access lists (FAT) or a network drive. POSIX: nothing (owner and modes already say
// who may write). Throws OsError.
void ProtectFolder(const std::string& folder);

}  // namespace os
