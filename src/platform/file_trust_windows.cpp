// Windows: who may change a file, from its owner and the allowing entries of its access list.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "common/text.h"
#include "platform/file_trust.h"
#include "platform/file_trust_windows.h"
#include "platform/os.h"
#include "platform/wide_text_windows.h"

namespace os {

namespace {

using win::Narrow;
using win::Wide;

std::string SidText(PSID sid) {
  LPWSTR s = nullptr;
  if (!::ConvertSidToStringSidW(sid, &s)) return {};
  std::string out = Narrow(s);
  ::LocalFree(s);
  return out;
}

// "DOMAIN\name" as the system words it, or the SID when it has no name here.
std::string AccountName(PSID sid, SID_NAME_USE* use) {
  wchar_t name[256], domain[256];
  DWORD name_n = 256, domain_n = 256;
  *use = SidTypeUnknown;
  if (!::LookupAccountSidW(nullptr, sid, name, &name_n, domain, &domain_n, use)) return SidText(sid);
  std::wstring full = domain_n ? std::wstring(domain) + L"\\" + name : std::wstring(name);
  return Narrow(full);
}

// Rights that change what a file holds or who may change it; for a folder, also adding or
// removing what it holds.
constexpr ACCESS_MASK kWriteRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                                     WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

bool TrustedSid(PSID sid, const std::vector<AccountId>& also_trusted) {
  if (::IsWellKnownSid(sid, WinLocalSystemSid) || ::IsWellKnownSid(sid, WinBuiltinAdministratorsSid)) return true;
  const std::string text = SidText(sid);
  // NT SERVICE\TrustedInstaller, the owner of the system's own files.
  if (text == "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464") return true;
  for (const AccountId& a : also_trusted)
    if (a == text) return true;
  return false;
}

// What lets someone delete, rename or re-permission a folder above the program, or take what it
// holds away: the owner (checked apart), DELETE on it, FILE_DELETE_CHILD, WRITE_DAC, WRITE_OWNER.
// Adding files or folders to it does not: users may create folders in C:\ without reaching
// anything of the agent's.
constexpr ACCESS_MASK kAncestorRights = FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_ALL;

std::vector<Writer> WritersOf(PSID owner, PACL dacl, const std::vector<AccountId>& also_trusted, ACCESS_MASK rights) {
  std::vector<Writer> out;
  SID_NAME_USE use;
  if (owner && !TrustedSid(owner, also_trusted)) out.push_back({Writer::Kind::kOwner, AccountName(owner, &use)});
  if (!dacl) {
    out.push_back({Writer::Kind::kEveryone, ""});  // no access list: no limit at all
    return out;
  }
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!::GetAce(dacl, i, &ace)) continue;
    const auto* header = static_cast<ACE_HEADER*>(ace);
    // Only what allows, on this object itself (not only on what it will hold).
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE)) continue;
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    if (!(allowed->Mask & rights)) continue;
    PSID sid = &allowed->SidStart;
    if (TrustedSid(sid, also_trusted) || ::IsWellKnownSid(sid, WinCreatorOwnerSid)) continue;
    if (::IsWellKnownSid(sid, WinWorldSid)) {
      out.push_back({Writer::Kind::kEveryone, ""});
      continue;
    }
    const std::string name = AccountName(sid, &use);
    const bool group = use == SidTypeGroup || use == SidTypeWellKnownGroup || use == SidTypeAlias;
    Writer w{group ? Writer::Kind::kGroup : Writer::Kind::kUser, name};
    bool seen = false;
    for (const Writer& o : out) seen = seen || (o.kind == w.kind && o.name == w.name);
    if (!seen) out.push_back(w);
  }
  return out;
}

std::vector<Writer> Writers(const std::string& path, const std::vector<AccountId>& also_trusted,
                            ACCESS_MASK rights = kWriteRights) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  const DWORD rc = ::GetNamedSecurityInfoW(Wide(path).c_str(), SE_FILE_OBJECT,
                                           OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                                           &dacl, nullptr, &sd);
  if (rc != ERROR_SUCCESS)
    return {{Writer::Kind::kUnknown, "its access list cannot be read: " + SysErrorMessage(static_cast<int>(rc))}};
  std::vector<Writer> out = WritersOf(owner, dacl, also_trusted, rights);
  ::LocalFree(sd);
  return out;
}

void Add(std::vector<UntrustedWrite>& found, const std::string& path, std::vector<Writer> writers) {
  if (writers.empty()) return;
  for (const UntrustedWrite& w : found)
    if (text::EqualsIgnoreCase(w.path, path)) return;
  found.push_back({path, std::move(writers)});
}

// The folder a path lies in ("C:\a" for "C:\a\b", "C:\" for "C:\a"); "" at the top.
std::string ParentOf(const std::string& path) {
  std::string p = path;
  while (p.size() > 3 && (p.back() == '\\' || p.back() == '/')) p.pop_back();
  const std::size_t slash = p.find_last_of("\\/");
  if (slash == std::string::npos || p.size() <= 3) return {};
  if (slash == 2 && p[1] == ':') return p.substr(0, 3);
  if (slash < 2) return {};  // a UNC or device prefix: nothing above to judge by name
  return p.substr(0, slash);
}

void AncestorsInto(std::vector<UntrustedWrite>& found, const std::string& path, const std::vector<AccountId>& also_trusted) {
  for (std::string above = ParentOf(path); !above.empty(); above = ParentOf(above))
    Add(found, above, Writers(above, also_trusted, kAncestorRights));
}

std::mutex g_accounts_mu;
std::vector<AccountId> g_agent_accounts;

}  // namespace

AccountId CurrentAccount() {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
  std::vector<BYTE> buf(256);
  DWORD n = 0;
  std::string out;
  if (::GetTokenInformation(token, TokenUser, buf.data(), static_cast<DWORD>(buf.size()), &n) ||
      (::GetLastError() == ERROR_INSUFFICIENT_BUFFER && (buf.resize(n), true) &&
       ::GetTokenInformation(token, TokenUser, buf.data(), static_cast<DWORD>(buf.size()), &n)))
    out = SidText(reinterpret_cast<TOKEN_USER*>(buf.data())->User.Sid);
  ::CloseHandle(token);
  return out;
}

AccountId OwnerOf(const std::string& path) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (::GetNamedSecurityInfoW(Wide(path).c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                              nullptr, &sd) != ERROR_SUCCESS)
    return {};
  std::string out = owner ? SidText(owner) : std::string();
  ::LocalFree(sd);
  return out;
}

std::vector<AccountId> ProgramTrustees() {
  AccountId me = CurrentAccount();
  return me.empty() ? std::vector<AccountId>{} : std::vector<AccountId>{me};
}

void SetAgentAccounts(std::vector<AccountId> accounts) {
  std::lock_guard lock(g_accounts_mu);
  g_agent_accounts = std::move(accounts);
}

bool IsAgentAccount(const AccountId& owner) {
  static const AccountId me = CurrentAccount();
  if (owner.empty()) return false;
  if (owner == me || owner == "S-1-5-18" || owner == "S-1-5-32-544") return true;
  std::lock_guard lock(g_accounts_mu);
  return std::find(g_agent_accounts.begin(), g_agent_accounts.end(), owner) != g_agent_accounts.end();
}

std::vector<UntrustedWrite> UntrustedWriters(const std::vector<std::string>& paths,
                                             const std::vector<AccountId>& also_trusted) {
  std::vector<UntrustedWrite> found;
  for (const std::string& path : paths) {
    if (::GetFileAttributesW(Wide(path).c_str()) == INVALID_FILE_ATTRIBUTES) continue;
    Add(found, path, Writers(path, also_trusted));
    AncestorsInto(found, path, also_trusted);
  }
  return found;
}

namespace win {

void JudgeHandle(HANDLE h, const std::string& path, const std::vector<AccountId>& also_trusted,
                 std::vector<UntrustedWrite>& found) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  const DWORD rc = ::GetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                                     nullptr, &dacl, nullptr, &sd);
  if (rc != ERROR_SUCCESS) {
    Add(found, path, {{Writer::Kind::kUnknown, "its access list cannot be read: " + SysErrorMessage(static_cast<int>(rc))}});
    return;
  }
  Add(found, path, WritersOf(owner, dacl, also_trusted, kWriteRights));
  ::LocalFree(sd);
}

void JudgeFolderAndAbove(const std::string& folder, const std::vector<AccountId>& also_trusted,
                         std::vector<UntrustedWrite>& found) {
  Add(found, folder, Writers(folder, also_trusted));
  AncestorsInto(found, folder, also_trusted);
}

void JudgeFolderContents(const std::string& folder, const std::vector<AccountId>& also_trusted,
                         std::vector<UntrustedWrite>& found) {
  // A Firebird client's folder holds a few hundred files; a folder of far more is no client's, and
  // is not walked through whole.
  std::size_t budget = 20000;
  std::vector<std::string> pending = {folder};
  while (!pending.empty()) {
    const std::string dir = pending.back();
    pending.pop_back();
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileExW(Wide(dir + "\\*").c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0);
    if (find == INVALID_HANDLE_VALUE) continue;
    do {
      const std::wstring name = data.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::string path = dir + "\\" + Narrow(name);
      if (budget-- == 0) {
        Add(found, folder, {{Writer::Kind::kUnknown, "it holds too many files to judge them all"}});
        ::FindClose(find);
        return;
      }
      Add(found, path, Writers(path, also_trusted));
      // A link is judged as itself; where it leads is not walked.
      if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        pending.push_back(path);
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);
  }
}

}  // namespace win

void ProtectFolder(const std::string& folder) {
  // An access list is worth something only where the volume keeps it (not FAT), and where this
  // machine decides who reads it (not a share, whose server does).
  const std::wstring wfolder = Wide(folder);
  wchar_t root[MAX_PATH];
  if (!::GetVolumePathNameW(wfolder.c_str(), root, MAX_PATH)) {
    const int e = static_cast<int>(::GetLastError());
    throw OsError(e, SysErrorMessage(e));
  }
  if (::GetDriveTypeW(root) == DRIVE_REMOTE || (root[0] == L'\\' && root[1] == L'\\'))
    throw OsError(ERROR_NOT_SUPPORTED, "it is on a network drive, whose access lists this machine does not keep");
  DWORD flags = 0;
  wchar_t fs[MAX_PATH + 1] = {};
  if (!::GetVolumeInformationW(root, nullptr, 0, nullptr, nullptr, &flags, fs, MAX_PATH + 1)) {
    const int e = static_cast<int>(::GetLastError());
    throw OsError(e, SysErrorMessage(e));
  }
  if (!(flags & FILE_PERSISTENT_ACLS))
    throw OsError(ERROR_NOT_SUPPORTED, "its volume (" + Narrow(fs) + ") keeps no access lists");
  // SYSTEM and the Administrators full control, Users read and execute; the folder and all it
  // holds; nothing from above.
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(
          L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)", SDDL_REVISION_1, &sd, nullptr)) {
    const int e = static_cast<int>(::GetLastError());
    throw OsError(e, SysErrorMessage(e));
  }
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  ::GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted);
  std::wstring path = wfolder;
  DWORD rc = ::SetNamedSecurityInfoW(path.data(), SE_FILE_OBJECT,
                                     DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                     dacl, nullptr);
  ::LocalFree(sd);
  if (rc != ERROR_SUCCESS) throw OsError(static_cast<int>(rc), SysErrorMessage(static_cast<int>(rc)));
  // A folder a user made stays theirs, and its owner may change its access list again: the
  // Administrators take it over where this account may do that (not a failure when it may not:
  // the check at start names such an owner).
  BYTE admins[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof admins;
  if (::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &size))
    ::SetNamedSecurityInfoW(path.data(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, admins, nullptr, nullptr, nullptr);
}

}  // namespace os
