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
// access list).
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
// What the agent's own account may be trusted as: on POSIX the user and its group ("g:" and the
// group id: a service account has a group of its own, which a package lets write the program's
// folder); on Windows the account alone. OwnAccounts() for this process; OwnersOf() for the one
// that wrote `path` (empty when that cannot be found out).
std::vector<AccountId> OwnAccounts();
std::vector<AccountId> OwnersOf(const std::string& path);

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
// followed to what they point to), each path or folder named once, in the order found. Paths that
// do not exist are left out.
std::vector<UntrustedWrite> UntrustedWriters(const std::vector<std::string>& paths,
                                             const std::vector<AccountId>& also_trusted);

// Gives `folder` an access list of its own that only the system's accounts can change: Windows:
// SYSTEM and the Administrators full control, Users read and execute, nothing inherited from the
// folder above, all of it inherited by what the folder holds (and the Administrators as its owner,
// where this account may set that). POSIX: nothing (owner and modes already say who may write).
// Throws OsError.
void ProtectFolder(const std::string& folder);

}  // namespace os
